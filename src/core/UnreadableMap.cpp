#include "core/UnreadableMap.h"

#include <algorithm>

namespace brivo {

namespace {

uint64_t ClippedEnd(uint64_t offset, uint64_t length) {
    return length > UINT64_MAX - offset ? UINT64_MAX : offset + length;
}

} // namespace

void TUnreadableMap::Add(uint64_t offset, uint64_t length) {
    uint64_t end = ClippedEnd(offset, length);
    if (end <= offset) return;
    std::lock_guard lock(mutex_);
    auto it = areas_.upper_bound(offset);
    if (it != areas_.begin()) {
        auto prev = std::prev(it);
        if (prev->second >= offset) {
            offset = prev->first;
            end = std::max(end, prev->second);
            it = areas_.erase(prev);
        }
    }
    while (it != areas_.end() && it->first <= end) {
        end = std::max(end, it->second);
        it = areas_.erase(it);
    }
    areas_.emplace(offset, end);
}

void TUnreadableMap::Remove(uint64_t offset, uint64_t length) {
    const uint64_t end = ClippedEnd(offset, length);
    if (end <= offset) return;
    std::lock_guard lock(mutex_);
    auto it = areas_.upper_bound(offset);
    if (it != areas_.begin()) --it;
    while (it != areas_.end() && it->first < end) {
        const uint64_t a = it->first, b = it->second;
        if (b <= offset) { ++it; continue; }
        it = areas_.erase(it);
        if (a < offset) areas_.emplace(a, offset);
        if (b > end) areas_.emplace(end, b);
    }
}

bool TUnreadableMap::Touches(uint64_t offset, uint64_t length) const {
    const uint64_t end = ClippedEnd(offset, length);
    if (end <= offset) return false;
    std::lock_guard lock(mutex_);
    auto it = areas_.upper_bound(offset);
    if (it != areas_.begin() && std::prev(it)->second > offset) return true;
    return it != areas_.end() && it->first < end;
}

std::vector<TByteRange> TUnreadableMap::Within(uint64_t offset, uint64_t length) const {
    std::vector<TByteRange> out;
    const uint64_t end = ClippedEnd(offset, length);
    if (end <= offset) return out;
    std::lock_guard lock(mutex_);
    auto it = areas_.upper_bound(offset);
    if (it != areas_.begin()) --it;
    for (; it != areas_.end() && it->first < end; ++it) {
        const uint64_t a = std::max(it->first, offset), b = std::min(it->second, end);
        if (a < b) out.push_back({a, b - a});
    }
    return out;
}

std::vector<TByteRange> TUnreadableMap::Areas() const {
    std::lock_guard lock(mutex_);
    std::vector<TByteRange> out;
    out.reserve(areas_.size());
    for (const auto& [a, b] : areas_) out.push_back({a, b - a});
    return out;
}

size_t TUnreadableMap::Count() const {
    std::lock_guard lock(mutex_);
    return areas_.size();
}

uint64_t TUnreadableMap::TotalBytes() const {
    std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (const auto& [a, b] : areas_) total += b - a;
    return total;
}

} // namespace brivo
