#include "filters/NoiseFilter.h"

#include "core/Text.h"
#include "filters/SyntheticPath.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>


namespace brivo {

namespace {

// Non-ASCII letters are lowered with the Unicode tables of the C.UTF-8 locale rather than
// the user's: a Turkish locale would lower "I" to a dotless i and "WINDOWS/" would no longer
// meet the fixed lists below. ASCII letters always fold to ASCII.
locale_t UnicodeCaseLocale() {
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return loc;
}

// Lower-cases UTF-8 text; bytes that are not valid UTF-8 are copied unchanged.
std::string LowerText(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out.push_back((b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : static_cast<char>(b));
            ++i;
            continue;
        }
        char32_t cp = 0;
        const size_t len = DecodeUtf8At(s, i, cp);
        if (len == 0) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        char32_t lower = cp;
        if (const locale_t loc = UnicodeCaseLocale(); loc != static_cast<locale_t>(nullptr)) {
            const wint_t w = towlower_l(static_cast<wint_t>(cp), loc);
            if (w <= 0x10FFFF && !(w >= 0xD800 && w <= 0xDFFF))
                lower = static_cast<char32_t>(w);
        }
        AppendUtf8(out, lower);
        i += len;
    }
    return out;
}

std::string_view TrimBlanks(std::string_view s) { return TrimView(s); }

bool EndsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

constexpr std::array<std::string_view, 9> kNoiseSuffixes = {
    ".tmp", ".temp", ".chk", ".etl", ".evtx", ".pf", ".gid", ".fts", ".ftg"};

constexpr std::array<std::string_view, 26> kNoiseExtensions = {
    ".dll", ".exe", ".sys", ".ocx", ".pdb", ".obj", ".lib", ".exp", ".ilk",
    ".pch", ".ipch", ".tlog", ".lastbuildstate", ".cache", ".mui", ".cat", ".manifest",
    ".mum", ".msu", ".msp", ".cab", ".nupkg", ".snupkg", ".props", ".targets", ".map"};

constexpr std::array<std::string_view, 3> kNoiseCompoundSuffixes = {
    ".deps.json", ".runtimeconfig.json", ".resources.dll"};

// Direct NTFS paths are relative to the volume root ("windows/..."), so the system folders
// are also tested at the start of the path.
constexpr std::array<std::string_view, 4> kNoiseRootPrefixes = {
    "windows/", "program files/", "program files (x86)/", "programdata/"};

constexpr std::array<std::string_view, 17> kNoiseFragments = {
    "/windows/",
    "/program files/",
    "/program files (x86)/",
    "/programdata/",
    "/appdata/local/temp/",
    "/appdata/local/microsoft/windows/inetcache/",
    "/appdata/local/microsoft/windows/temporary internet files/",
    "/appdata/local/packages/",
    "/node_modules/",
    "/.nuget/packages/",
    "/packages/",
    "/__pycache__/",
    "/.git/",
    "/bin/debug/",
    "/bin/release/",
    "/obj/debug/",
    "/obj/release/"};

} // namespace

std::string NormalizeFilterPath(std::string_view path) {
    std::string lower = LowerText(path);
    std::string out;
    out.reserve(lower.size());
    for (char c : lower) {
        if (c == '\\')
            c = '/';
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out.push_back(c);
    }
    return out;
}

bool IsNoiseFileName(std::string_view name, int64_t sizeBytes) {
    const std::string t = LowerText(TrimBlanks(name));
    if (t.empty() || sizeBytes <= 0)
        return true;
    if (t.front() == '$' || t.front() == '~')
        return true;
    for (auto suffix : kNoiseSuffixes)
        if (EndsWith(t, suffix))
            return true;
    if (const size_t dot = t.rfind('.'); dot != std::string::npos) {
        const std::string_view ext = std::string_view(t).substr(dot);
        if (std::find(kNoiseExtensions.begin(), kNoiseExtensions.end(), ext) != kNoiseExtensions.end())
            return true;
    }
    for (auto suffix : kNoiseCompoundSuffixes)
        if (EndsWith(t, suffix))
            return true;
    return false;
}

bool IsNoisePath(std::string_view path, int64_t sizeBytes) {
    const size_t cut = path.find_last_of("/\\:");
    const std::string_view name = cut == std::string_view::npos ? path : path.substr(cut + 1);
    if (IsNoiseFileName(name, sizeBytes))
        return true;

    const std::string p = NormalizeFilterPath(path);
    for (auto prefix : kNoiseRootPrefixes)
        if (p.starts_with(prefix))
            return true;
    for (auto fragment : kNoiseFragments)
        if (p.find(fragment) != std::string::npos)
            return true;
    return false;
}

bool IsSystemAreaPath(std::string_view path, TScanWhere where) {
    std::string_view rest = TrimView(path);
    if (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) rest.remove_prefix(1);
    constexpr std::string_view kOrphans = "$orphanfiles";
    if (rest.size() >= kOrphans.size() && LowerText(rest.substr(0, kOrphans.size())) == kOrphans &&
        (rest.size() == kOrphans.size() || rest[kOrphans.size()] == '/' || rest[kOrphans.size()] == '\\'))
        return IsSyntheticPath(rest.substr(kOrphans.size()), where);
    return IsSyntheticPath(path, where);
}

} // namespace brivo
