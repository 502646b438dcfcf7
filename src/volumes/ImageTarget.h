#pragma once
#include <string>

namespace brivo {

// Refuses an image or map file that is the source itself or lies on the device being
// imaged (writing there can overwrite the very data being saved): throws
// std::runtime_error with the user's message. Both front ends check here before copying.
void CheckImageTarget(const std::string& source, const std::string& imagePath, const std::string& mapPath);

} // namespace brivo
