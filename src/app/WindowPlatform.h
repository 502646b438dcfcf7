#pragma once
#include <string>
#include <vector>

#include "core/ScanHost.h"
#include "engine/EngineFolder.h"

namespace brivo {

// The names the drive lists offer: the machine's block devices and partitions.
std::vector<std::string> ListBlockDevicesForWindow();
// The name (e.g. "sda2") of the device mounted at "/"; empty when "/" has none.
std::string SystemDriveName();
// Makes the private engine folder. A missing tool is reported in an error box; the
// window still opens, and every scan then stops at the missing-files warning.
void UnpackEngineFolder(TEngineContext& engine, TScanHost& host);
// Removes the engine folder, when there is one. Never throws.
void RemoveEngineFolder(TEngineContext& engine);

} // namespace brivo
