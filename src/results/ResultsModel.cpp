#include "results/ResultsModel.h"

#include "core/Text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "platform/DateTime.h"

namespace brivo {

const char* const kResultColumnCaptions[kResultColumnCount] = {"File", "Path", "Size", "Modified", "Condition"};

namespace {

// Blanks and control characters (every byte up to 0x20) at both ends; bytes of a UTF-8
// multi-byte sequence are all >= 0x80, so no character is ever cut in half.
std::string TrimControl(const std::string& s) { return std::string(TrimView(s)); }

bool HasDrive(std::string_view t) {
    return t.size() >= 2 && t[1] == ':' && ((t[0] >= 'A' && t[0] <= 'Z') || (t[0] >= 'a' && t[0] <= 'z'));
}

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

TSortKeys KeysFor(const TFoundFile& f, int column) {
    TSortKeys k;
    if (column == rcFile || column == rcPath) k.Name = ResultFileName(f.FullPath);
    if (column == rcPath) k.Folder = ResultFolder(f.FullPath);
    return k;
}

// One result reduced to what its column compares, in a compact array that the sort walks
// instead of the large records.
struct TSortRow {
    int64_t Num = 0;      // SizeBytes or the counted DamageScore
    double Date = 0.0;    // DateKey
    const std::string* Text[3] = {nullptr, nullptr, nullptr};  // text keys in tie-break order
    size_t Index = 0;
};

TSortRow MakeRow(const TFoundFile& f, const TSortKeys& k, int column, size_t index) {
    TSortRow r;
    r.Index = index;
    switch (column) {
        case rcFile: r.Text[0] = &k.Name; r.Text[1] = &f.FullPath; break;
        case rcPath: r.Text[0] = &k.Folder; r.Text[1] = &k.Name; break;
        case rcSize: r.Num = f.SizeBytes; r.Text[0] = &f.FullPath; break;
        case rcModified: r.Date = DateKey(f); r.Text[0] = &f.FullPath; break;
        case rcCondition: r.Num = ScoreKey(f); r.Text[0] = &f.DamageText; r.Text[1] = &f.FullPath; break;
        default: r.Text[0] = &f.FullPath; break;
    }
    return r;
}

int CompareRows(const TSortRow& a, const TSortRow& b) {
    int r = Sign(a.Num, b.Num);
    if (r == 0) r = Sign(a.Date, b.Date);
    for (int i = 0; r == 0 && i < 3 && a.Text[i]; ++i) r = CompareTextAsciiCI(*a.Text[i], *b.Text[i]);
    return r;
}

} // namespace

std::array<int, kResultColumnCount> ResultColumnWidths(int clientWidth) {
    const int w = std::max(clientWidth - 24, 300);
    std::array<int, kResultColumnCount> c{};
    c[0] = std::max(static_cast<int>(std::nearbyint(w * 0.22)), 150);
    c[1] = std::max(static_cast<int>(std::nearbyint(w * 0.38)), 220);
    c[2] = 90;
    c[3] = 140;
    c[4] = std::max(w - c[0] - c[1] - c[2] - c[3], 150);
    return c;
}

std::string ResultKey(const TFoundFile& f) { return f.Inode + "|" + f.FullPath; }

std::string ResultDisplayPath(const std::string& path) {
    std::string t = TrimControl(path);
    std::replace(t.begin(), t.end(), '\\', '/');
    if (!t.empty() && t[0] != '/' && !HasDrive(t)) t.insert(t.begin(), '/');
    return t;
}

std::string ResultFileName(const std::string& path) {
    const std::string t = ResultDisplayPath(path);
    const size_t pos = t.find_last_of("/:");
    const std::string part = pos == std::string::npos ? t : t.substr(pos + 1);
    return part.empty() ? t : part;
}

std::string ResultFolder(const std::string& path) {
    const std::string t = ResultDisplayPath(path);
    const size_t pos = t.find_last_of("/:");
    if (pos == std::string::npos) return "/";
    std::string part;
    if (t[pos] == '/' && (pos == 0 || t[pos - 1] == ':'))
        part = t.substr(0, pos + 1);
    else
        part = t.substr(0, pos);
    return part.empty() ? "/" : part;
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

namespace {

std::string LocalTimeText(TDateTime utc) {
    double local = 0;
    int offset = 0;
    // A time the local rules cannot place still shows, as it was stored.
    return FormatDateTimeText(UtcToLocalDateTime(utc, local, offset) ? local : utc);
}

std::string IsoTimeText(TDateTime utc) {
    double local = 0;
    int offset = 0;
    if (!UtcToLocalDateTime(utc, local, offset)) {
        local = utc;
        offset = 0;
    }
    std::string text = FormatDateTimeText(local);
    if (text.empty()) return {};
    text[10] = 'T';
    const int a = offset < 0 ? -offset : offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', a / 3600, (a / 60) % 60);
    return text + zone;
}

} // namespace

std::string ModifiedCellText(const TFoundFile& f) { return f.HasModDate ? LocalTimeText(f.ModDateUtc) : std::string(); }

std::string ModifiedIsoText(const TFoundFile& f) { return f.HasModDate ? IsoTimeText(f.ModDateUtc) : std::string(); }

std::string CreatedCellText(const TFoundFile& f) {
    return f.HasCreateDate ? LocalTimeText(f.CreateDateUtc) : std::string();
}

std::string CreatedIsoText(const TFoundFile& f) { return f.HasCreateDate ? IsoTimeText(f.CreateDateUtc) : std::string(); }

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

// First position from i on where the bytes differ, eight at a time; n when none.
size_t FirstByteDifference(const char* a, const char* b, size_t i, size_t n) {
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

int CompareTextAsciiCI(std::string_view a, std::string_view b) {
    const size_t n = std::min(a.size(), b.size());
    size_t i = 0;
    for (;;) {
        i = FirstByteDifference(a.data(), b.data(), i, n);
        if (i == n) break;
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 0x80 || cb >= 0x80) break;
        const uint32_t fa = FoldAscii(ca), fb = FoldAscii(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
        ++i;
    }
    // An ASCII byte never belongs to a multi-byte sequence, so the position after the last
    // one before i is a character boundary in both texts (their bytes agree up to ASCII
    // case before i). Only from there on, and only when non-ASCII bytes are involved, is
    // decoding needed.
    size_t boundary = i;
    while (boundary > 0 && static_cast<unsigned char>(a[boundary - 1]) >= 0x80) --boundary;
    if (i == n && boundary == n) return Sign(a.size(), b.size());
    TUtf16Units ua(a.substr(boundary)), ub(b.substr(boundary));
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
    const TSortKeys ka = KeysFor(a, sortColumn), kb = KeysFor(b, sortColumn);
    return CompareRows(MakeRow(a, ka, sortColumn, 0), MakeRow(b, kb, sortColumn, 1));
}

void ApplyCurrentSort(TFoundFiles& found, int sortColumn, bool ascending) { SortResults(found, sortColumn, ascending); }

std::vector<size_t> SortResults(TFoundFiles& found, int sortColumn, bool ascending) {
    if (sortColumn < 0 || found.size() < 2) return {};
    std::vector<TSortKeys> keys;
    keys.reserve(found.size());  // no reallocation: rows point into it
    for (const auto& f : found) keys.push_back(KeysFor(f, sortColumn));
    std::vector<TSortRow> rows;
    rows.reserve(found.size());
    for (size_t i = 0; i < found.size(); ++i) rows.push_back(MakeRow(found[i], keys[i], sortColumn, i));
    // Results equal on every key keep their scan order (in both directions), so a listing
    // is reproducible; the index as last key makes that an ordinary (faster) sort.
    std::sort(rows.begin(), rows.end(), [ascending](const TSortRow& x, const TSortRow& y) {
        const int r = CompareRows(x, y);
        if (r != 0) return ascending ? r < 0 : r > 0;
        return x.Index < y.Index;
    });
    TFoundFiles sorted;
    sorted.reserve(found.size());
    std::vector<size_t> order;
    order.reserve(found.size());
    for (const auto& r : rows) {
        sorted.push_back(std::move(found[r.Index]));
        order.push_back(r.Index);
    }
    found = std::move(sorted);
    return order;
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
                                      const TSortState& sort, TScanHost& host, bool stopped) {
    TPopulateOutcome out;
    out.Total = found.size();
    out.Checked.assign(out.Total, false);
    // Mark i belongs to found[i] until the sort moves it; marks past found's end belong to
    // no result. The sort's order carries every mark along with its result.
    out.Order = SortResults(found, sort.FSortColumn, sort.FSortAscending);
    const std::vector<size_t>& order = out.Order;
    const size_t readable = std::min(currentChecks.size(), found.size());
    for (size_t i = 0; i < out.Total; ++i) {
        const size_t from = order.empty() ? i : order[i];
        out.Checked[i] = from < readable && currentChecks[from];
    }

    out.StatusText = Format(host.Translate(stopped ? "Scan stopped. Found entries: %d" : "Scan finished. Found entries: %d"),
                            {out.Total});
    SetStatusText(host, out.StatusText);
    return out;
}

std::string PrepareResultFilter(std::string_view text) {
    std::string t(TrimView(text));
    for (char& c : t) c = c == '\\' ? '/' : AsciiLower(c);
    return t;
}

bool ResultMatchesFilter(const TFoundFile& f, std::string_view prepared) {
    if (prepared.empty()) return true;
    const std::string_view path = f.FullPath;
    if (path.size() < prepared.size()) return false;
    const size_t last = path.size() - prepared.size();
    for (size_t i = 0; i <= last; ++i) {
        size_t k = 0;
        for (; k < prepared.size(); ++k) {
            char c = path[i + k];
            c = c == '\\' ? '/' : AsciiLower(c);
            if (c != prepared[k]) break;
        }
        if (k == prepared.size()) return true;
    }
    return false;
}

std::vector<size_t> FilterResults(const TFoundFiles& found, std::string_view prepared) {
    std::vector<size_t> kept;
    if (prepared.empty()) {
        kept.resize(found.size());
        for (size_t i = 0; i < found.size(); ++i) kept[i] = i;
        return kept;
    }
    for (size_t i = 0; i < found.size(); ++i)
        if (ResultMatchesFilter(found[i], prepared)) kept.push_back(i);
    return kept;
}

} // namespace brivo
