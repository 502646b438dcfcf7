#include "volumes/RescueMap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "platform/UniqueFd.h"

namespace brivo {

namespace {
constexpr uint64_t kMaxRescueMapBytes = 64u << 20;
} // namespace

TRescueMap::TRescueMap(uint64_t size) : size_(size) {
    if (size_ > 0) {
        runs_[0] = TRescueStatus::NonTried;
        bytes_[Slot(TRescueStatus::NonTried)] = size_;
        count_[Slot(TRescueStatus::NonTried)] = 1;
    }
}

size_t TRescueMap::Slot(TRescueStatus status) {
    switch (status) {
        case TRescueStatus::NonTried: return 0;
        case TRescueStatus::NonTrimmed: return 1;
        case TRescueStatus::NonScraped: return 2;
        case TRescueStatus::Bad: return 3;
        case TRescueStatus::Finished: return 4;
    }
    return 0;
}

void TRescueMap::Account(uint64_t lo, uint64_t hi, int sign) {
    auto it = runs_.upper_bound(lo);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && it->first <= hi; ++it) {
        const auto next = std::next(it);
        const uint64_t len = (next == runs_.end() ? size_ : next->first) - it->first;
        const size_t s = Slot(it->second);
        if (sign > 0) {
            bytes_[s] += len;
            ++count_[s];
        } else {
            bytes_[s] -= len;
            --count_[s];
        }
    }
}

TRescueStatus TRescueMap::At(uint64_t pos) const {
    auto it = runs_.upper_bound(pos);
    if (it == runs_.begin() || pos >= size_) return TRescueStatus::NonTried;
    return std::prev(it)->second;
}

void TRescueMap::Set(uint64_t pos, uint64_t length, TRescueStatus status) {
    if (pos >= size_ || length == 0) return;
    const uint64_t end = length > size_ - pos ? size_ : pos + length;
    const TRescueStatus after = At(end);
    // Only the runs touching [pos - 1, end] change (split, replaced or merged).
    const uint64_t lo = pos > 0 ? pos - 1 : 0;
    const uint64_t hi = end < size_ ? end : size_ - 1;
    Account(lo, hi, -1);
    runs_.erase(runs_.lower_bound(pos), runs_.upper_bound(end));
    runs_[pos] = status;
    if (end < size_) runs_[end] = after;
    // Merge with the neighbours of the same status.
    auto it = runs_.find(pos);
    if (it != runs_.begin() && std::prev(it)->second == status) it = runs_.erase(it), --it;
    auto next = std::next(it);
    if (next != runs_.end() && next->second == it->second) runs_.erase(next);
    Account(lo, hi, +1);
}

std::vector<TRescueBlock> TRescueMap::Blocks() const {
    std::vector<TRescueBlock> out;
    for (auto it = runs_.begin(); it != runs_.end(); ++it) {
        const auto next = std::next(it);
        const uint64_t end = next == runs_.end() ? size_ : next->first;
        out.push_back({it->first, end - it->first, it->second});
    }
    return out;
}

std::vector<TRescueBlock> TRescueMap::Blocks(TRescueStatus status) const {
    std::vector<TRescueBlock> out;
    for (const TRescueBlock& b : Blocks())
        if (b.Status == status) out.push_back(b);
    return out;
}

std::string FormatRescueMap(const TRescueMap& map, const std::vector<std::string>& comments) {
    std::string out;
    for (const std::string& c : comments) out += "# " + c + "\n";
    char line[128];
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", map.CurrentPos, map.CurrentStatus,
                  map.CurrentPass);
    out += line;
    out += "#      pos        size  status\n";
    for (const TRescueBlock& b : map.Blocks()) {
        std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", b.Pos, b.Size, static_cast<char>(b.Status));
        out += line;
    }
    return out;
}

namespace {

bool ParseNumber(const std::string& word, uint64_t& value) {
    if (word.empty() || word[0] == '-' || word[0] == '+') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(word.c_str(), &end, 0);
    if (errno != 0 || end == word.c_str() || *end != '\0') return false;
    value = v;
    return true;
}

bool IsBlockStatus(char c) { return c == '?' || c == '*' || c == '/' || c == '-' || c == '+'; }

} // namespace

TRescueMap ParseRescueMap(std::string_view text, uint64_t size) {
    TRescueMap map(size);
    std::istringstream in{std::string(text)};
    std::string line;
    int lineNo = 0;
    bool haveStatus = false;
    uint64_t lastEnd = 0;
    auto bad = [&](const std::string& why) {
        return std::runtime_error("The map file is damaged at line " + std::to_string(lineNo) + ": " + why + ".");
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (!haveStatus) {
            uint64_t pos = 0;
            if (w.size() < 2 || w.size() > 3 || !ParseNumber(w[0], pos) || w[1].size() != 1) throw bad("expected the status line");
            map.CurrentPos = pos;
            map.CurrentStatus = w[1][0];
            if (w.size() == 3) {
                uint64_t pass = 1;
                if (!ParseNumber(w[2], pass) || pass == 0 || pass > 1000) throw bad("bad pass number");
                map.CurrentPass = static_cast<int>(pass);
            }
            haveStatus = true;
            continue;
        }
        uint64_t pos = 0, len = 0;
        if (w.size() != 3 || !ParseNumber(w[0], pos) || !ParseNumber(w[1], len) || w[2].size() != 1 || !IsBlockStatus(w[2][0]))
            throw bad("expected \"position size status\"");
        if (pos < lastEnd) throw bad("blocks overlap or are out of order");
        if (len > UINT64_MAX - pos) throw bad("block too large");
        lastEnd = pos + len;
        map.FileExtent = std::max(map.FileExtent, lastEnd);
        map.Set(pos, len, static_cast<TRescueStatus>(w[2][0]));
    }
    if (!haveStatus) throw std::runtime_error("The map file holds no status line.");
    if (map.CurrentPos > size) map.CurrentPos = 0;
    return map;
}

bool ReadRescueMapFile(const std::string& path, std::string& out, int& err) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        err = errno;
        return false;
    }
    char buf[65536];
    for (;;) {
        const ssize_t r = ::read(fd.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            err = errno;
            return false;
        }
        if (r == 0) return true;
        out.append(buf, static_cast<size_t>(r));
        if (out.size() > kMaxRescueMapBytes) {
            err = EFBIG;
            return false;
        }
    }
}

} // namespace brivo
