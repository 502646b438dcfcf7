#include "tskparse/BlklsList.h"

#include <algorithm>
#include <charconv>

#include "core/ReaderResult.h"

namespace brivo {

namespace {

constexpr size_t kMaxLine = 256;

bool ParseU64(std::string_view s, uint64_t& v) {
    if (s.empty() || s.size() > 19) return false;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && p == s.data() + s.size();
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

} // namespace

void TBlklsFreeList::Line(std::string_view line) {
    const size_t bar = line.find('|');
    if (bar == std::string_view::npos || Trim(line.substr(bar + 1)) != "f") return;
    uint64_t addr = 0;
    if (!ParseU64(Trim(line.substr(0, bar)), addr)) return;
    ++blocks_;
    if (!runs_.empty() && runs_.back().First + runs_.back().Count == addr) ++runs_.back().Count;
    else runs_.push_back({addr, 1});
}

void TBlklsFreeList::Feed(std::span<const uint8_t> piece) {
    for (uint8_t b : piece) {
        if (b == '\n') {
            if (!skipping_) Line(partial_);
            partial_.clear();
            skipping_ = false;
        } else if (!skipping_) {
            if (partial_.size() >= kMaxLine) {
                partial_.clear();
                skipping_ = true;
            } else {
                partial_.push_back(static_cast<char>(b));
            }
        }
    }
}

void TBlklsFreeList::Finish() {
    if (!skipping_ && !partial_.empty()) Line(partial_);
    partial_.clear();
    skipping_ = false;
}

void TBlklsFreeList::AddRun(uint64_t first, uint64_t count) {
    if (count == 0 || first > UINT64_MAX - count) return;
    runs_.push_back({first, count});
}

std::vector<TByteExtent> TBlklsFreeList::Areas(uint64_t blockBytes, uint64_t volumeBytes) const {
    std::vector<TRun> runs = runs_;
    std::sort(runs.begin(), runs.end(), [](const TRun& a, const TRun& b) { return a.First < b.First; });
    std::vector<TByteExtent> out;
    if (blockBytes == 0) return out;
    const uint64_t limitBlocks = volumeBytes / blockBytes + 1;
    for (const TRun& r : runs) {
        if (r.First >= limitBlocks) break;
        const uint64_t at = r.First * blockBytes;
        if (at >= volumeBytes) break;
        const uint64_t count = std::min(r.Count, limitBlocks - r.First);
        const uint64_t len = std::min(count * blockBytes, volumeBytes - at);
        if (!out.empty() && out.back().Offset + out.back().Length > at) {
            // Listed twice: keep the union.
            const uint64_t end = std::max(out.back().Offset + out.back().Length, at + len);
            out.back().Length = end - out.back().Offset;
        } else {
            AddFreeRun(out, at, len);
        }
    }
    return out;
}

uint64_t FsstatUnitBytes(std::string_view text) {
    uint64_t found = 0;
    int rank = 0;  // a fragment size wins over a block size, which wins over a cluster size
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = Trim(line.substr(0, colon));
        const int r = key == "Fragment Size" ? 3 : key == "Block Size" ? 2 : key == "Cluster Size" ? 1 : 0;
        if (r <= rank) continue;
        uint64_t v = 0;
        std::string_view value = Trim(line.substr(colon + 1));
        value = value.substr(0, value.find(' '));
        if (!ParseU64(value, v) || v < 512 || v > (64u << 20) || (v & (v - 1)) != 0) continue;
        found = v;
        rank = r;
    }
    return found;
}

namespace {

// "a - b" after a key; false when it is not two numbers in order.
bool ParseRange(std::string_view value, uint64_t& first, uint64_t& last) {
    const size_t dash = value.find(" - ");
    return dash != std::string_view::npos && ParseU64(Trim(value.substr(0, dash)), first) &&
           ParseU64(Trim(value.substr(dash + 3)), last) && first <= last;
}

} // namespace

std::vector<std::pair<uint64_t, uint64_t>> FsstatUninitBlockRanges(std::string_view text) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    bool inGroup = false, blockUninit = false, inodeUninit = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.rfind("Group:", 0) == 0) {
            inGroup = true;
            blockUninit = inodeUninit = false;
            continue;
        }
        if (!inGroup) continue;
        if (line.rfind("Block Group Flags:", 0) == 0) {
            blockUninit = line.find("BLOCK_UNINIT") != std::string_view::npos;
            inodeUninit = line.find("INODE_UNINIT") != std::string_view::npos;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        // The "Uninit ..." lines fsstat prints for a flex group name no group's own blocks.
        const std::string_view key = line.substr(0, colon);
        const bool wanted = (blockUninit && (key == "Block Range" || key == "Data bitmap")) ||
                            (inodeUninit && (key == "Inode Table" || key == "Inode bitmap"));
        uint64_t first = 0, last = 0;
        if (wanted && ParseRange(Trim(line.substr(colon + 1)), first, last)) out.emplace_back(first, last);
    }
    return out;
}

uint64_t FsstatJournalInode(std::string_view text) {
    const size_t at = text.find("Journal Inode:");
    if (at == std::string_view::npos) return 0;
    std::string_view value = text.substr(at + 14);
    value = Trim(value.substr(0, value.find('\n')));
    uint64_t v = 0;
    return ParseU64(value, v) ? v : 0;
}

std::vector<uint64_t> IstatDirectBlocks(std::string_view text, size_t maxBlocks) {
    std::vector<uint64_t> out;
    const size_t at = text.find("\nDirect Blocks:");
    if (at == std::string_view::npos) return out;
    text = text.substr(at + 1);
    text = text.substr(std::min(text.size(), text.find('\n') + 1));
    // The numbers run until the first line that holds anything else ("Indirect Blocks:").
    while (!text.empty() && out.size() < maxBlocks) {
        const size_t nl = text.find('\n');
        std::string_view line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.empty()) break;
        while (!line.empty() && out.size() < maxBlocks) {
            const size_t sp = line.find(' ');
            uint64_t v = 0;
            if (!ParseU64(line.substr(0, sp), v)) return out;
            out.push_back(v);
            line = sp == std::string_view::npos ? std::string_view() : Trim(line.substr(sp + 1));
        }
    }
    return out;
}

} // namespace brivo
