#pragma once
#include <string>

namespace brivo {

// "transl.dt" beside the executable, else in ../share/brivo-file-recovery/ of an
// installed program; the first path when neither exists.
std::string TranslationFilePath();

// Chooses the current code (the stored "CurrentLanguage" setting, else the system's),
// reads the table from path (TranslationFilePath() when empty) and picks the column of
// that code. Any failure leaves English; the returned text says why (never shown).
std::string LoadTranslation(const std::string& path = {});

// Writes the current code as "CurrentLanguage".
void SaveLanguageSetting();

} // namespace brivo
