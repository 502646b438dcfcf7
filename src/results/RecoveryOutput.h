#pragma once
#include <string>

#include "platform/UniqueFd.h"

namespace brivo {

// Where one recovered file is written. The output folder may already hold links (planted
// there, or left by an earlier copy), and the program often runs as root, so nothing is
// trusted below the folder the user chose: every folder on the way is opened with
// O_NOFOLLOW relative to its parent, or created by us, and a link or a non-folder is
// refused. The content first goes to a fresh hidden file beside the target, reached
// through the open folder handle rather than by name, and only a successful extraction
// is renamed over the target; so a failed run leaves no partial file and never destroys
// an earlier good copy.
class TRecoveryTarget {
public:
    // folder: the user's choice (a link naming it is followed; it is theirs to pick).
    // relative: "/"-separated, already cleaned (no "", "." or ".." components).
    // Throws std::runtime_error "<system message>: <path>" when a folder cannot be opened or
    // created, or when a component is a link or not a folder.
    TRecoveryTarget(const std::string& folder, const std::string& relative);
    ~TRecoveryTarget();
    TRecoveryTarget(const TRecoveryTarget&) = delete;
    TRecoveryTarget& operator=(const TRecoveryTarget&) = delete;

    // The name through which the extractor's output is written (the hidden temporary file,
    // created empty and exclusively).
    const std::string& WritePath() const { return writePath_; }
    // The file the result ends up in, for messages.
    const std::string& FinalPath() const { return finalPath_; }
    // Moves the written file to its final name, replacing a file already there. Throws
    // (and removes the temporary file) when that fails, e.g. a folder holds the name.
    void Commit();

private:
    UniqueFd dir_;
    std::string leaf_;
    std::string temp_;
    std::string writePath_;
    std::string finalPath_;
    bool done_ = false;
};

} // namespace brivo
