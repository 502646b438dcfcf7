#include "app/WindowPlatform.h"

#include <exception>

#include "platform/Devices.h"
#include "platform/Mounts.h"

namespace brivo {

std::vector<std::string> ListBlockDevicesForWindow() { return ListBlockDevices(); }

std::string SystemDriveName() {
    const std::string root = RootDeviceSource(ReadSelfMountInfo());
    return root.empty() ? std::string() : DeviceNameOf(root);
}

void UnpackEngineFolder(TEngineContext& engine, TScanHost& host) {
    try {
        ExtractEmbeddedBinaries(engine);
    } catch (const std::exception& e) {
        host.ShowError(e.what());
    }
}

void RemoveEngineFolder(TEngineContext& engine) {
    if (!engine.FToolsDir.empty()) DeleteExtractedBinaries(engine);
}

} // namespace brivo
