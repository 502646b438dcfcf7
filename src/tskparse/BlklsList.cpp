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

std::vector<std::pair<uint64_t, uint64_t>> FsstatUninitBlockRanges(std::string_view text) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    bool inGroup = false, uninit = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (line.rfind("Group:", 0) == 0) {
            inGroup = true;
            uninit = false;
        } else if (inGroup && line.rfind("Block Group Flags:", 0) == 0) {
            uninit = line.find("BLOCK_UNINIT") != std::string_view::npos;
        } else if (inGroup && uninit && line.rfind("Block Range:", 0) == 0) {
            std::string_view range = Trim(line.substr(12));
            const size_t dash = range.find(" - ");
            uint64_t first = 0, last = 0;
            if (dash != std::string_view::npos && ParseU64(Trim(range.substr(0, dash)), first) &&
                ParseU64(Trim(range.substr(dash + 3)), last) && first <= last)
                out.emplace_back(first, last);
            uninit = false;
        }
    }
    return out;
}

} // namespace brivo
