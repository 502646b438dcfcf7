#include "app/AppInfo.h"

#include "app/AppSettings.h"

namespace brivo {

QString VendorAddress() {
    QString addr = OpenAppSettings()->value(kKeyVendorAddress).toString().trimmed();
    if (addr.isEmpty()) addr = QString::fromUtf8(kVendorAddress);
    while (addr.endsWith('/')) addr.chop(1);
    return addr;
}

QString HomePageUrl() { return VendorAddress() + "/"; }
QString SupportPageUrl() { return VendorAddress() + "/support.html"; }
QString TutorialPageUrl() { return VendorAddress() + "/redirect/tutorial-brivo-file-recovery.html"; }

} // namespace brivo
