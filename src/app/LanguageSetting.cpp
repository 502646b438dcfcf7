#include "app/LanguageSetting.h"

#include <fstream>
#include <sstream>

#include "app/AppInfo.h"
#include "app/AppSettings.h"
#include "app/Translation.h"
#include "platform/Paths.h"

#ifndef BRIVO_SHARE_SUBDIR
#define BRIVO_SHARE_SUBDIR "../share/brivo-file-recovery"
#endif

namespace brivo {

namespace {
constexpr const char* kTranslationFileName = "transl.dt";
// A real table is a few hundred kilobytes; anything far larger is not one.
constexpr std::streamoff kMaxTableBytes = 16 * 1024 * 1024;
} // namespace

std::string TranslationFilePath() {
    const std::string exeDir = ExecutableDir();
    const std::string beside = JoinPath(exeDir, kTranslationFileName);
    if (FileExists(beside)) return beside;
    const std::string shared = JoinPath(JoinPath(exeDir, BRIVO_SHARE_SUBDIR), kTranslationFileName);
    if (FileExists(shared)) return shared;
    return beside;
}

std::string LoadTranslation(const std::string& pathIn) {
    TTranslation& t = Translation();
    t.Clear();
    t.CurrentCode = SystemLanguageCode();
    {
        auto settings = OpenAppSettings();
        if (settings->contains(kKeyCurrentLanguage))
            t.CurrentCode = settings->value(kKeyCurrentLanguage).toString().toStdString();
    }
    const std::string path = pathIn.empty() ? TranslationFilePath() : pathIn;
    if (!FileExists(path)) return "Cannot find translation file:" + path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return "Cannot read translation file:" + path;
    in.seekg(0, std::ios::end);
    if (in.tellg() > kMaxTableBytes) return "Translation file too large:" + path;
    in.seekg(0);
    std::ostringstream buf;
    buf << in.rdbuf();
    if (!t.LoadFromText(buf.str())) return "Invalid translation file:" + path;
    const int index = t.IndexOfCode(t.CurrentCode);
    t.SetCurrentIndex(index > 0 ? index : 0);
    return {};
}

void SaveLanguageSetting() {
    auto settings = OpenAppSettings();
    settings->setValue(kKeyCurrentLanguage, QString::fromStdString(Translation().CurrentCode));
    settings->sync();
}

} // namespace brivo
