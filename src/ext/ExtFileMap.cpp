#include "ext/ExtFileMap.h"

#include <algorithm>
#include <unordered_set>

namespace brivo {

namespace {

void AddRun(TExtFileMap& map, const TExtMapLimits& limits, uint64_t logical, uint64_t physical, uint64_t count, bool unwritten) {
    if (count == 0) return;
    if (!map.Runs.empty()) {
        TExtRun& last = map.Runs.back();
        if (last.Unwritten == unwritten && last.Logical + last.Count == logical && last.Physical + last.Count == physical) {
            last.Count += count;
            return;
        }
    }
    if (map.Runs.size() >= limits.MaxRuns) {
        map.Complete = false;
        map.Problem = "too many runs";
        return;
    }
    map.Runs.push_back({logical, physical, count, unwritten});
}

void Incomplete(TExtFileMap& map, const char* why) {
    map.Complete = false;
    if (map.Problem.empty()) map.Problem = why;
}

struct TExtentWalk {
    uint32_t BlockSize;
    const TExtBlockReader& Read;
    const TExtMapLimits& Limits;
    TExtFileMap Map;
    std::unordered_set<uint64_t> Seen;
    std::vector<uint8_t> Buf;

    // [lo, hi) is the logical range the parent gives this node.
    void Node(ByteSpan bytes, int expectDepth, uint64_t lo, uint64_t hi) {
        const auto node = DecodeExtExtentNode(bytes);
        if (!node) return Incomplete(Map, "bad extent node");
        if (expectDepth >= 0 && node->Depth != expectDepth) return Incomplete(Map, "extent node at the wrong depth");
        if (node->Depth == 0) {
            for (const TExtRun& r : node->Leaves) {
                if (r.Logical < lo || r.Logical >= hi) { Incomplete(Map, "extent outside its index range"); continue; }
                if (!Map.Runs.empty() && r.Logical < Map.Runs.back().Logical + Map.Runs.back().Count) {
                    Incomplete(Map, "extents overlap");
                    continue;
                }
                if (r.Physical < 1 || r.Physical >= Limits.BlocksCount || Limits.BlocksCount - r.Physical < r.Count) {
                    Incomplete(Map, "extent outside the volume");
                    continue;
                }
                uint64_t count = r.Count;
                if (Limits.MaxLogicalBlocks != 0) {
                    if (r.Logical >= Limits.MaxLogicalBlocks) continue;
                    count = std::min(count, Limits.MaxLogicalBlocks - r.Logical);
                }
                AddRun(Map, Limits, r.Logical, r.Physical, count, r.Unwritten);
            }
            return;
        }
        for (size_t i = 0; i < node->Index.size(); ++i) {
            const auto [first, child] = node->Index[i];
            const uint64_t end = i + 1 < node->Index.size() ? node->Index[i + 1].first : hi;
            if (first < lo || end > hi || first > end) { Incomplete(Map, "index entries out of order"); continue; }
            if (child < 1 || child >= Limits.BlocksCount) { Incomplete(Map, "index block outside the volume"); continue; }
            if (!Seen.insert(child).second) { Incomplete(Map, "extent tree loops"); continue; }
            if (Map.MetaBlocks.size() >= Limits.MaxMetaBlocks) return Incomplete(Map, "too many extent tree blocks");
            Map.MetaBlocks.push_back(child);
            std::vector<uint8_t> block(BlockSize);
            if (!Read(child, block)) { Incomplete(Map, "extent tree block unreadable"); continue; }
            Node(block, node->Depth - 1, first, end);
        }
    }
};

struct TIndirectWalk {
    uint32_t BlockSize;
    const TExtBlockReader& Read;
    const TExtMapLimits& Limits;
    uint64_t MaxLogical;
    TExtFileMap Map;

    // Pointer `ptr` maps `span` logical blocks from `logical` through `level` indirections.
    void Walk(uint32_t ptr, int level, uint64_t logical, uint64_t span) {
        if (logical >= MaxLogical || !Map.Complete) return;
        if (ptr == 0) return;   // a hole
        if (ptr >= Limits.BlocksCount) return Incomplete(Map, "block pointer outside the volume");
        if (level == 0) return AddRun(Map, Limits, logical, ptr, 1, false);
        if (Map.MetaBlocks.size() >= Limits.MaxMetaBlocks) return Incomplete(Map, "too many indirect blocks");
        Map.MetaBlocks.push_back(ptr);
        std::vector<uint8_t> block(BlockSize);
        if (!Read(ptr, block)) return Incomplete(Map, "indirect block unreadable");
        const uint64_t per = BlockSize / 4;
        const uint64_t childSpan = span / per;
        for (uint64_t i = 0; i < per; ++i) {
            const uint64_t at = logical + i * childSpan;
            if (at >= MaxLogical) break;
            Walk(ReadLe32(block, static_cast<int64_t>(i * 4)), level - 1, at, childSpan);
        }
    }
};

} // namespace

std::optional<TExtExtentNode> DecodeExtExtentNode(ByteSpan b) {
    if (b.size() < 12 || ReadLe16(b, 0) != kExtExtentMagic) return std::nullopt;
    TExtExtentNode n;
    n.Entries = ReadLe16(b, 2);
    n.Max = ReadLe16(b, 4);
    n.Depth = ReadLe16(b, 6);
    if (n.Depth > kExtMaxExtentDepth || n.Entries > n.Max || 12u + 12u * n.Max > b.size()) return std::nullopt;
    for (uint16_t i = 0; i < n.Entries; ++i) {
        const int64_t at = 12 + 12 * int64_t{i};
        const uint32_t logical = ReadLe32(b, at);
        if (n.Depth == 0) {
            uint16_t len = ReadLe16(b, at + 4);
            bool unwritten = false;
            if (len > 32768) { len = static_cast<uint16_t>(len - 32768); unwritten = true; }
            const uint64_t start = ReadLe32(b, at + 8) | uint64_t{ReadLe16(b, at + 6)} << 32;
            if (len == 0) return std::nullopt;
            n.Leaves.push_back({logical, start, len, unwritten});
        } else {
            const uint64_t child = ReadLe32(b, at + 4) | uint64_t{ReadLe16(b, at + 8)} << 32;
            n.Index.emplace_back(logical, child);
        }
    }
    // Entries are sorted by their first logical block.
    for (size_t i = 1; i < n.Leaves.size(); ++i)
        if (n.Leaves[i].Logical < n.Leaves[i - 1].Logical + n.Leaves[i - 1].Count) return std::nullopt;
    for (size_t i = 1; i < n.Index.size(); ++i)
        if (n.Index[i].first <= n.Index[i - 1].first) return std::nullopt;
    return n;
}

TExtFileMap ExtExtentMap(ByteSpan iblock, uint32_t blockSize, const TExtBlockReader& read, const TExtMapLimits& limits) {
    TExtentWalk w{blockSize, read, limits, {}, {}, {}};
    w.Node(iblock.subspan(0, std::min<size_t>(iblock.size(), 60)), -1, 0, uint64_t{1} << 32);
    return std::move(w.Map);
}

TExtFileMap ExtBlockMap(ByteSpan iblock, uint32_t blockSize, const TExtBlockReader& read, const TExtMapLimits& limits) {
    const uint64_t per = blockSize / 4;
    const uint64_t formatMax = 12 + per + per * per + per * per * per;
    TIndirectWalk w{blockSize, read, limits, limits.MaxLogicalBlocks == 0 ? formatMax : std::min(formatMax, limits.MaxLogicalBlocks), {}};
    for (uint64_t i = 0; i < 12; ++i) w.Walk(ReadLe32(iblock, static_cast<int64_t>(i * 4)), 0, i, 1);
    w.Walk(ReadLe32(iblock, 48), 1, 12, per);
    w.Walk(ReadLe32(iblock, 52), 2, 12 + per, per * per);
    w.Walk(ReadLe32(iblock, 56), 3, 12 + per + per * per, per * per * per);
    return std::move(w.Map);
}

bool LooksLikeExtIndirectBlock(ByteSpan block, uint64_t blocksCount) {
    uint64_t last = 0;
    bool any = false, zeros = false;
    for (size_t at = 0; at + 4 <= block.size(); at += 4) {
        const uint32_t p = ReadLe32(block, static_cast<int64_t>(at));
        if (p == 0) { zeros = true; continue; }
        if (zeros || p >= blocksCount || p <= last) return false;
        last = p;
        any = true;
    }
    return any;
}

} // namespace brivo
