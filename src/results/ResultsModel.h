#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/FoundFile.h"
#include "core/ScanHost.h"

namespace brivo {

// The results list as data: cell texts, sort orders, check marks and the name filter.
// Widget-free, so the Qt window (a table model over FFound that shows every result, or
// the ones a filter keeps) and the command line share it. Everything here runs on the
// UI thread.

// Column indices of the results list, in display order.
enum TResultColumn : int { rcFile = 0, rcPath = 1, rcSize = 2, rcModified = 3, rcCondition = 4 };
inline constexpr int kResultColumnCount = 5;
// English captions ("File", "Path", "Size", "Modified", "Condition"); the front end passes
// them through Translate when it creates the columns and when the language changes.
extern const char* const kResultColumnCaptions[kResultColumnCount];

// The list's sort choice; lives as long as the window and is not reset by a new scan.
struct TSortState {
    int FSortColumn = -1;      // -1: scan order
    bool FSortAscending = true;
};

// Pixel widths of the five columns for a list whose client area is clientWidth wide:
// File 22% and Path 38% of the usable width (at least 150 and 220), Size 90, Modified 140,
// Condition the rest (at least 150). Rounding halves to even.
std::array<int, kResultColumnCount> ResultColumnWidths(int clientWidth);

// --- keys and cell texts -------------------------------------------------------------

// Inode + "|" + FullPath, both as stored: the identity of a check mark across re-sorts.
std::string ResultKey(const TFoundFile& f);
// The one form in which every route's paths are shown: trimmed, "\" turned into "/", and
// a leading "/" added unless the path is empty, has one, or starts with a drive ("C:",
// Recycle Bin originals): "Users\Bob\x.txt" and "/Users/Bob/x.txt" both give the latter.
std::string ResultDisplayPath(const std::string& path);
// Of ResultDisplayPath: the part after the last "/" or ":"; the whole path when that part
// is empty ("/dir/" gives "/dir/").
std::string ResultFileName(const std::string& path);
// Of ResultDisplayPath: the part before the last "/" or ":", keeping a "/" that follows a
// drive colon or stands first ("/" of "/x", "C:/" of "C:\x", "/a" of "\a\b.txt"); "/"
// when that part is empty.
std::string ResultFolder(const std::string& path);
// "" below 0, "N B", "%.1f KB", "%.1f MB", "%.2f GB". The unit words ("B", "KB", "MB",
// "GB") pass through host.Translate when a host is given. The decimal separator is the
// C library's LC_NUMERIC one: "." unless the front end set the user's locale.
std::string FormatSize(int64_t bytes, TScanHost* host = nullptr);
// "yyyy-mm-dd hh:nn:ss" of ModDateUtc (UTC on every route) in local time, with the local
// rules of that date, when HasModDate; else "".
std::string ModifiedCellText(const TFoundFile& f);
// The same instant in ISO 8601 with the local zone's offset ("2024-07-15T12:00:00+02:00");
// "" without a date.
std::string ModifiedIsoText(const TFoundFile& f);
// The same two forms of CreateDateUtc when HasCreateDate; else "".
std::string CreatedCellText(const TFoundFile& f);
std::string CreatedIsoText(const TFoundFile& f);
// DamageText, or "Unknown" (never translated) when it is empty.
std::string ConditionCellText(const TFoundFile& f);
// The text of one cell; "" for a column index outside 0..4.
std::string ResultCellText(const TFoundFile& f, int column, TScanHost* host = nullptr);

// --- sorting ------------------------------------------------------------------------

// Case-insensitive ordinal comparison over UTF-16 code units, folding only ASCII a-z to
// A-Z; a text that is a prefix of the other sorts first. The UTF-8 input is decoded (an
// invalid byte b stands for the lone code unit 0xDC00+b) because UTF-8 byte order puts
// U+E000..U+FFFF before supplementary characters, UTF-16 order after. Returns <0, 0, >0.
int CompareTextAsciiCI(std::string_view a, std::string_view b);
// The ascending comparison of one sort column with its tie-breaks:
//   0 File: ResultFileName, then FullPath;   1 Path: ResultFolder, then ResultFileName;
//   2 Size: SizeBytes, then FullPath;         3 Modified: ModDateUtc (0 when no date), then FullPath;
//   4 Condition: DamageScore (negative counts as -2147483647), then DamageText, then FullPath;
//   any other column: FullPath.
int CompareResults(const TFoundFile& a, const TFoundFile& b, int sortColumn);
// Sorts in place by sortColumn; the whole comparison is negated when !ascending. Does
// nothing for sortColumn < 0 or fewer than 2 results. Results equal on every key keep
// their relative order (a stable sort: the CLI's output is then reproducible).
void ApplyCurrentSort(TFoundFiles& found, int sortColumn, bool ascending);
// The same sort; returns where each result came from (order[i] is the old index of
// found[i]), or nothing when it left found as it was.
std::vector<size_t> SortResults(TFoundFiles& found, int sortColumn, bool ascending);
inline void ApplyCurrentSort(TFoundFiles& found, const TSortState& s) {
    ApplyCurrentSort(found, s.FSortColumn, s.FSortAscending);
}
// A click on a column header: the same column inverts the direction, another column
// becomes the sort column, ascending. The caller then repopulates (PopulateResultsModel).
// While a scan runs FFound belongs to the worker: a front end may still record the click
// here and skip the rebuild, since the scan's completion step sorts by the current state.
void ApplyColumnClick(TSortState& s, int column);

// --- check marks and rebuilding -----------------------------------------------------

// Number of set marks (marks are indexed by row).
int CountChecked(const std::vector<bool>& checks);
// The translated "Checked: %d" text shown after a check command.
std::string CheckedStatusText(TScanHost& host, int checked);

// What a rebuild of the list shows.
struct TPopulateOutcome {
    size_t Total = 0;            // FFound's length; every result gets a row
    std::vector<bool> Checked;   // mark of each result (size Total)
    std::string StatusText;      // translated and filled
    std::vector<size_t> Order;   // what the sort did, as SortResults returns it
};

// The model side of PopulateResults: sorts found by the sort state, carrying each mark
// with its result (mark i belongs to found[i] before the sort; marks past found's end
// are ignored), and sets the status text through
// SetStatusText(host, ...): "Scan finished. Found entries: %d", or "Scan stopped. Found
// entries: %d" when stopped. Every result is listed: a list model over found shows only
// the rows on screen, so no count of results needs a cut-off.
TPopulateOutcome PopulateResultsModel(TFoundFiles& found, const std::vector<bool>& currentChecks,
                                      const TSortState& sort, TScanHost& host, bool stopped = false);

// --- the name filter ------------------------------------------------------------------

// A filter typed above the list, prepared once: trimmed, ASCII letters folded, "\" read
// as "/". Empty keeps everything.
std::string PrepareResultFilter(std::string_view text);
// Whether a result's path (folder and name) contains the prepared filter, ignoring ASCII
// case and the kind of separator.
bool ResultMatchesFilter(const TFoundFile& f, std::string_view prepared);
// Indices of the results the prepared filter keeps, in found's order.
std::vector<size_t> FilterResults(const TFoundFiles& found, std::string_view prepared);

} // namespace brivo
