#include "volumes/ImageTarget.h"

#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "platform/SameVolume.h"

namespace brivo {

namespace {

std::string FolderOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

} // namespace

void CheckImageTarget(const std::string& source, const std::string& imagePath, const std::string& mapPath) {
    if (SameFile(source, imagePath) || SameFile(source, mapPath))
        throw std::runtime_error("the image and its map must not be the source itself.");
    if (OutputInsideSourceImage(source, FolderOf(imagePath)) || OutputInsideSourceImage(source, FolderOf(mapPath)))
        throw std::runtime_error(imagePath + " is on a file system stored in " + source +
                                 ", the image being copied. Writing there would change it. Choose a folder "
                                 "outside it.");
    if (OutputOnScannedDevice(source, FolderOf(imagePath)) || OutputOnScannedDevice(source, FolderOf(mapPath)))
        throw std::runtime_error(imagePath + " is on " + source +
                                 ", the device being imaged. Writing there can overwrite the very data being saved. "
                                 "Choose a folder on another device.");
}

} // namespace brivo
