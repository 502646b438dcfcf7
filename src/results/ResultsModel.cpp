#include "results/ResultsModel.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <unordered_set>

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "platform/DateTime.h"

namespace brivo {

const char* const kResultColumnCaptions[kResultColumnCount] = {"File", "Path", "Size", "Modified", "Condition"};

namespace {

// Blanks and control characters (every byte up to 0x20) at both ends; bytes of a UTF-8
// multi-byte sequence are all >= 0x80, so no character is ever cut in half.
std::string TrimControl(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
    return s.substr(b, e - b);
}

std::string BackslashPath(const std::string& path) {
    std::string t = TrimControl(path);
    std::replace(t.begin(), t.end(), '/', '\\');
    return t;
}

// Yields the UTF-16 code units of a UTF-8 text one at a time.
class Utf16Units {
public:
    explicit Utf16Units(std::string_view s) : s_(s) {}
    bool Next(uint32_t& unit) {
        if (pendingLow_) {
            unit = pendingLow_;
            pendingLow_ = 0;
            return true;
        }
        if (i_ >= s_.size()) return false;
        const auto b0 = static_cast<unsigned char>(s_[i_]);
        if (b0 < 0x80) {
            ++i_;
            unit = b0;
            return true;
        }
        uint32_t cp = 0;
        size_t len = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            cp = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            cp = b0 & 0x07;
        }
        bool ok = len != 0 && i_ + len <= s_.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const auto c = static_cast<unsigned char>(s_[i_ + k]);
            if ((c & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (c & 0x3F);
        }
        // Overlong forms and code points past U+10FFFF are not UTF-8. Encoded surrogates
        // (ED A0..BF ..) are kept: a name read from UTF-16 with an unpaired surrogate comes
        // through as one, and it sorts as that code unit.
        if (ok && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))) ok = false;
        if (!ok) {
            // A stray byte stands for a lone low surrogate, distinct from every real text.
            ++i_;
            unit = 0xDC00 + b0;
            return true;
        }
        i_ += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit = 0xD800 + (cp >> 10);
            pendingLow_ = 0xDC00 + (cp & 0x3FF);
        } else {
            unit = cp;
        }
        return true;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
    uint32_t pendingLow_ = 0;
};

inline uint32_t FoldAscii(uint32_t u) { return (u >= 'a' && u <= 'z') ? u - 32 : u; }

template <typename T>
int Sign(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Sort keys computed once per result, so a sort of a million results does not rebuild
// file names and folders in every comparison.
struct TSortKeys {
    std::string Name;
    std::string Folder;
};

double DateKey(const TFoundFile& f) {
    // A NaN would break the ordering the sort relies on; treat it as no date.
    if (!f.HasModDate || std::isnan(f.ModDateUtc)) return 0.0;
    return f.ModDateUtc;
}

int ScoreKey(const TFoundFile& f) { return f.DamageScore < 0 ? -2147483647 : f.DamageScore; }

int CompareWithKeys(const TFoundFile& a, const TSortKeys& ka, const TFoundFile& b, const TSortKeys& kb,
                    int column) {
    int r = 0;
    switch (column) {
        case rcFile:
            r = CompareTextAsciiCI(ka.Name, kb.Name);
            if (r == 0) r = CompareTextAsciiCI(a.FullPath, b.FullPath);
            return r;
        case rcPath:
            r = CompareTextAsciiCI(ka.Folder, kb.Folder);
            if (r == 0) r = CompareTextAsciiCI(ka.Name, kb.Name);
            return r;
        case rcSize:
            r = Sign(a.SizeBytes, b.SizeBytes);
            if (r == 0) r = CompareTextAsciiCI(a.FullPath, b.FullPath);
            return r;
        case rcModified:
            r = Sign(DateKey(a), DateKey(b));
            if (r == 0) r = CompareTextAsciiCI(a.FullPath, b.FullPath);
            return r;
        case rcCondition:
            r = Sign(ScoreKey(a), ScoreKey(b));
            if (r == 0) r = CompareTextAsciiCI(a.DamageText, b.DamageText);
            if (r == 0) r = CompareTextAsciiCI(a.FullPath, b.FullPath);
            return r;
        default:
            return CompareTextAsciiCI(a.FullPath, b.FullPath);
    }
}

TSortKeys KeysFor(const TFoundFile& f, int column) {
    TSortKeys k;
    if (column == rcFile || column == rcPath) k.Name = ResultFileName(f.FullPath);
    if (column == rcPath) k.Folder = ResultFolder(f.FullPath);
    return k;
}

} // namespace

std::string ResultKey(const TFoundFile& f) { return f.Inode + "|" + f.FullPath; }

std::string ResultFileName(const std::string& path) {
    const std::string t = BackslashPath(path);
    const size_t pos = t.find_last_of("\\:");
    const std::string part = pos == std::string::npos ? t : t.substr(pos + 1);
    return part.empty() ? t : part;
}

std::string ResultFolder(const std::string& path) {
    const std::string t = BackslashPath(path);
    const size_t pos = t.find_last_of("\\:");
    if (pos == std::string::npos) return "\\";
    std::string part;
    if (t[pos] == '\\' && (pos == 0 || t[pos - 1] == ':'))
        part = t.substr(0, pos + 1);
    else
        part = t.substr(0, pos);
    return part.empty() ? "\\" : part;
}

std::string FormatSize(int64_t bytes, TScanHost* host) {
    auto unit = [host](const char* u) { return host ? host->Translate(u) : std::string(u); };
    if (bytes < 0) return {};
    if (bytes < 1024) return std::to_string(bytes) + " " + unit("B");
    char buf[64];
    const double v = static_cast<double>(bytes);
    if (bytes < 1048576) {
        std::snprintf(buf, sizeof buf, "%.1f", v / 1024.0);
        return std::string(buf) + " " + unit("KB");
    }
    if (bytes < 1073741824) {
        std::snprintf(buf, sizeof buf, "%.1f", v / 1048576.0);
        return std::string(buf) + " " + unit("MB");
    }
    std::snprintf(buf, sizeof buf, "%.2f", v / 1073741824.0);
    return std::string(buf) + " " + unit("GB");
}

std::string ModifiedCellText(const TFoundFile& f) {
    return f.HasModDate ? FormatDateTimeText(f.ModDateUtc) : std::string();
}

std::string ConditionCellText(const TFoundFile& f) { return f.DamageText.empty() ? "Unknown" : f.DamageText; }

std::string ResultCellText(const TFoundFile& f, int column, TScanHost* host) {
    switch (column) {
        case rcFile: return ResultFileName(f.FullPath);
        case rcPath: return ResultFolder(f.FullPath);
        case rcSize: return FormatSize(f.SizeBytes, host);
        case rcModified: return ModifiedCellText(f);
        case rcCondition: return ConditionCellText(f);
        default: return {};
    }
}

int CompareTextAsciiCI(std::string_view a, std::string_view b) {
    // Plain ASCII on both sides is the common case and needs no decoding.
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    for (; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 0x80 || cb >= 0x80) break;
        const uint32_t fa = FoldAscii(ca), fb = FoldAscii(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
    }
    if (i == n) return Sign(a.size(), b.size());
    // Every byte before i was ASCII in both texts, so byte i starts a character in each.
    const size_t start = i;
    Utf16Units ua(a.substr(start)), ub(b.substr(start));
    for (;;) {
        uint32_t x = 0, y = 0;
        const bool hx = ua.Next(x), hy = ub.Next(y);
        if (!hx || !hy) return hx == hy ? 0 : (hx ? 1 : -1);
        x = FoldAscii(x);
        y = FoldAscii(y);
        if (x != y) return x < y ? -1 : 1;
    }
}

int CompareResults(const TFoundFile& a, const TFoundFile& b, int sortColumn) {
    return CompareWithKeys(a, KeysFor(a, sortColumn), b, KeysFor(b, sortColumn), sortColumn);
}

void ApplyCurrentSort(TFoundFiles& found, int sortColumn, bool ascending) {
    if (sortColumn < 0 || found.size() < 2) return;
    std::vector<TSortKeys> keys;
    keys.reserve(found.size());
    for (const auto& f : found) keys.push_back(KeysFor(f, sortColumn));
    std::vector<size_t> order(found.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        const int r = CompareWithKeys(found[x], keys[x], found[y], keys[y], sortColumn);
        return ascending ? r < 0 : r > 0;
    });
    TFoundFiles sorted;
    sorted.reserve(found.size());
    for (size_t idx : order) sorted.push_back(std::move(found[idx]));
    found = std::move(sorted);
}

void ApplyColumnClick(TSortState& s, int column) {
    if (column == s.FSortColumn) {
        s.FSortAscending = !s.FSortAscending;
    } else {
        s.FSortColumn = column;
        s.FSortAscending = true;
    }
}

int CountChecked(const std::vector<bool>& checks) {
    return static_cast<int>(std::count(checks.begin(), checks.end(), true));
}

std::string CheckedStatusText(TScanHost& host, int checked) {
    return Format(host.Translate("Checked: %d"), {checked});
}

TPopulateOutcome PopulateResultsModel(TFoundFiles& found, const std::vector<bool>& currentChecks,
                                      const TSortState& sort, TScanHost& host) {
    // Marks are read while row i still shows found[i], before the sort moves anything.
    std::unordered_set<std::string> marked;
    const size_t readable = std::min(currentChecks.size(), found.size());
    for (size_t i = 0; i < readable; ++i)
        if (currentChecks[i]) marked.insert(ResultKey(found[i]));

    ApplyCurrentSort(found, sort);

    TPopulateOutcome out;
    out.Total = found.size();
    out.Shown = std::min(out.Total, kResultDisplayLimit);
    out.Checked.assign(out.Shown, false);
    if (!marked.empty())
        for (size_t i = 0; i < out.Shown; ++i) out.Checked[i] = marked.count(ResultKey(found[i])) != 0;

    if (out.Shown < out.Total) {
        out.LogLine = Format(
            "UI display limit: showing first %d of %d results. Narrow the file type/folder filter to see fewer results.",
            {out.Shown, out.Total});
        Log(host, out.LogLine);
        out.StatusText = Format(host.Translate("Scan finished. Found entries: %d. Showing first %d."), {out.Total, out.Shown});
    } else {
        out.StatusText = Format(host.Translate("Scan finished. Found entries: %d"), {out.Total});
    }
    SetStatusText(host, out.StatusText);
    return out;
}

} // namespace brivo
