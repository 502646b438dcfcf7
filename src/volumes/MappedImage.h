#pragma once
#include <string>

#include "core/ByteSource.h"

namespace brivo {

// An image copied from a failing disk holds zeros where the disk could not be read (and
// where the copy has not reached yet). Read as data, those zeros mislead the file system
// readers (a zeroed first FAT taken for the real one). With the copy's map, such areas
// read as failing, exactly as on the disk, so every reader falls back as it would there.

// The map to use for the raw image at imagePath: the one named with UseRescueMap, else
// imagePath + ".map" when there is such a file; empty when neither.
std::string RescueMapFor(const std::string& imagePath);

// Names the map of an image for this process (a front end's --map option). An empty map
// forgets it.
void UseRescueMap(const std::string& imagePath, const std::string& mapPath);

// disk (the bytes of the image at imagePath) with every read that touches an area its map
// does not mark copied failing (-1; LastError names the map). disk itself when there is
// no map. A map named with UseRescueMap that cannot be read or does not fit the image
// throws std::runtime_error; a map found beside the image that does not fit is ignored
// (it may belong to something else).
TByteSourcePtr WithRescueMap(TByteSourcePtr disk, const std::string& imagePath);

} // namespace brivo
