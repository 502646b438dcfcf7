#pragma once
#include <stdexcept>

namespace brivo {

// Failures a front end answers differently from "the scan failed", told apart by type
// (their text is translated and meant for the user). Each is a std::runtime_error, so
// code that only reports the message catches them as before.

// The volume of a partitioned source could not be settled.
class TVolumeChoiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Several volumes could be scanned and none was named: the user has to choose one.
class TSeveralVolumesError : public TVolumeChoiceError {
public:
    using TVolumeChoiceError::TVolumeChoiceError;
};

// The volume number given is not one of the source's volumes.
class TNoSuchVolumeError : public TVolumeChoiceError {
public:
    using TVolumeChoiceError::TVolumeChoiceError;
};

// A folder to narrow the scan to is not on the volume (its listing does not name it).
class TFolderNotOnVolumeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Nothing the scan found matches what was asked for.
class TNothingMatchedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace brivo
