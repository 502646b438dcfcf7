#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace brivo {

// What is known of each byte of a source being imaged, kept in the map file format that
// GNU ddrescue reads and writes, so a user can go on with that tool (or come back to
// ours) where the copy stopped:
//   '?' not tried yet   '*' failed in a large read, not yet tried sector by sector
//   '/' not yet tried sector by sector (left by a run of failures)   '-' bad sector
//   '+' copied
enum class TRescueStatus : char {
    NonTried = '?',
    NonTrimmed = '*',
    NonScraped = '/',
    Bad = '-',
    Finished = '+',
};

struct TRescueBlock {
    uint64_t Pos = 0;
    uint64_t Size = 0;
    TRescueStatus Status = TRescueStatus::NonTried;
    bool operator==(const TRescueBlock&) const = default;
};

// The status of every byte of [0, size), as runs.
class TRescueMap {
public:
    explicit TRescueMap(uint64_t size = 0);

    uint64_t Size() const { return size_; }
    void Set(uint64_t pos, uint64_t length, TRescueStatus status);
    TRescueStatus At(uint64_t pos) const;
    // Runs in order, neighbours of one status merged.
    std::vector<TRescueBlock> Blocks() const;
    // Runs of one status.
    std::vector<TRescueBlock> Blocks(TRescueStatus status) const;
    // Kept as running totals: a map of many small runs is asked these at every report.
    uint64_t Bytes(TRescueStatus status) const { return bytes_[Slot(status)]; }
    size_t Count(TRescueStatus status) const { return count_[Slot(status)]; }
    // Where the last run ends in the map file it was read from (0 for a map made here).
    uint64_t FileExtent = 0;

    // The copier's place and phase, kept in the file's status line.
    uint64_t CurrentPos = 0;
    char CurrentStatus = '?';  // '?' copying, '*' trimming, '/' scraping, '+' finished
    int CurrentPass = 1;

private:
    static size_t Slot(TRescueStatus status);
    // Adds (sign +1) or takes out (-1) the runs that hold any byte of [lo, hi].
    void Account(uint64_t lo, uint64_t hi, int sign);

    uint64_t size_;
    std::map<uint64_t, TRescueStatus> runs_;  // start of each run -> its status
    uint64_t bytes_[5] = {};
    size_t count_[5] = {};
};

// The file's text: comment lines (each given line after "# "), the status line, the
// block lines with positions and sizes in hexadecimal.
std::string FormatRescueMap(const TRescueMap& map, const std::vector<std::string>& comments);

// Reads a map file's text for a source of `size` bytes. Lines starting with '#' and blank
// lines are comments; the first other line is the status line, every further one a block
// "pos size status" (numbers decimal, 0x hexadecimal or 0 octal, as the tool writes and
// accepts). Blocks must be in order without overlap; bytes no block covers are '?', and
// blocks past size are cut at it. Throws std::runtime_error naming the line of anything
// else.
TRescueMap ParseRescueMap(std::string_view text, uint64_t size);

// A map file's whole text into out. False with err set (an errno value; EFBIG past 64 MiB,
// which no map of a real disk reaches) when it cannot be read.
bool ReadRescueMapFile(const std::string& path, std::string& out, int& err);

} // namespace brivo
