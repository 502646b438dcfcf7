#pragma once
#include <QSettings>
#include <memory>

namespace brivo {

// The program's one settings store: organisation "Brivo File Recovery" in the user's
// config folder (~/.config/Brivo File Recovery.conf). Tests move it with
// QSettings::setPath before anything reads it.
std::unique_ptr<QSettings> OpenAppSettings();

} // namespace brivo
