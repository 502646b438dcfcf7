#pragma once
#include <QString>

#include "core/Version.h"

namespace brivo {

inline constexpr const char* kAppTitle = "Brivo File Recovery";
inline constexpr const char* kAppVersionText = kVersionText;
// The version as the vendor's version file writes it (no decimal point).
inline constexpr int kAppVersionNumber = 24;

// The vendor's web site; one constant, overridable by the setting "VendorAddress".
inline constexpr const char* kVendorAddress = "https://www.brivofilerecovery.com";

// QSettings organisation and keys (the user's config folder).
inline constexpr const char* kSettingsOrganisation = "Brivo File Recovery";
inline constexpr const char* kKeyCurrentLanguage = "CurrentLanguage";
inline constexpr const char* kKeyVendorAddress = "VendorAddress";
// Base address of the update check; defaults to the vendor address.
inline constexpr const char* kKeyUpdateAddress = "UpdateAddress";

// The vendor address without a trailing "/".
QString VendorAddress();
QString HomePageUrl();
QString SupportPageUrl();
QString TutorialPageUrl();

} // namespace brivo
