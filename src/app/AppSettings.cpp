#include "app/AppSettings.h"

#include "app/AppInfo.h"

namespace brivo {

std::unique_ptr<QSettings> OpenAppSettings() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QString::fromUtf8(kSettingsOrganisation));
}

} // namespace brivo
