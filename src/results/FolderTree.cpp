#include "results/FolderTree.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "core/Text.h"
#include "results/ResultsModel.h"

namespace brivo {

namespace {

inline bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// A folder's name under its parent: the key of the lookup while the tree grows.
struct TChildKey {
    uint32_t Parent;
    std::string_view Name;
    bool operator==(const TChildKey&) const = default;
};

struct TChildKeyHash {
    size_t operator()(const TChildKey& k) const noexcept {
        return std::hash<std::string_view>{}(k.Name) ^ (static_cast<size_t>(k.Parent) * 0x9E3779B97F4A7C15ull);
    }
};

// The tree while it grows, folders numbered in the order they are met.
class TTreeGrower {
public:
    TTreeGrower() { AddNode(kNoFolder, {}); }

    uint32_t ChildOf(uint32_t parent, std::string_view name) {
        const auto it = lookup_.find(TChildKey{parent, name});
        if (it != lookup_.end()) return it->second;
        return AddNode(parent, name);
    }

    // The folder a "/" or "\" separated path names. Results mostly come grouped by
    // folder, or share the start of their paths with the one before: the walk starts from
    // the deepest folder the last path shares with this one.
    uint32_t FolderOfParts(std::string_view path) {
        const auto common = static_cast<size_t>(
            std::mismatch(path.begin(), path.end(), last_.begin(), last_.end()).first - path.begin());
        // chain_ holds, for each part of the last path, where it ends and its folder.
        size_t keep = 0;
        while (keep < chain_.size() && chain_[keep].first <= common &&
               (chain_[keep].first == path.size() || IsSeparator(path[chain_[keep].first])))
            ++keep;
        chain_.resize(keep);
        uint32_t id = keep > 0 ? chain_[keep - 1].second : 0;
        size_t i = keep > 0 ? chain_[keep - 1].first : 0;
        while (i < path.size()) {
            while (i < path.size() && IsSeparator(path[i])) ++i;
            size_t j = i;
            while (j < path.size() && !IsSeparator(path[j])) ++j;
            if (j > i) {
                id = ChildOf(id, path.substr(i, j - i));
                chain_.emplace_back(j, id);
            }
            i = j;
        }
        last_.assign(path);
        return id;
    }

    // The folder a path names when the tree already has it; kNoFolder else.
    uint32_t FindFolder(std::string_view path) const {
        uint32_t id = 0;
        for (size_t i = 0; i < path.size();) {
            while (i < path.size() && IsSeparator(path[i])) ++i;
            size_t j = i;
            while (j < path.size() && !IsSeparator(path[j])) ++j;
            if (j > i) {
                const auto it = lookup_.find(TChildKey{id, path.substr(i, j - i)});
                if (it == lookup_.end()) return kNoFolder;
                id = it->second;
            }
            i = j;
        }
        return id;
    }

    std::vector<uint32_t> Parents;
    std::vector<std::string_view> Names;
    std::vector<bool> Deleted;

private:
    uint32_t AddNode(uint32_t parent, std::string_view name) {
        const auto id = static_cast<uint32_t>(Parents.size());
        // The names live in a deque: views of them stay valid while it grows.
        std::string_view kept;
        if (!name.empty()) kept = names_.emplace_back(name);
        Parents.push_back(parent);
        Names.push_back(kept);
        Deleted.push_back(false);
        if (parent != kNoFolder) lookup_.emplace(TChildKey{parent, kept}, id);
        return id;
    }

    std::deque<std::string> names_;
    std::string last_;
    std::vector<std::pair<size_t, uint32_t>> chain_;
    std::unordered_map<TChildKey, uint32_t, TChildKeyHash> lookup_;
};

// Where a path's folder part ends (the position of its last separator; 0 when none).
size_t FolderPartEnd(std::string_view path) {
    size_t end = path.size();
    while (end > 0 && !IsSeparator(path[end - 1])) --end;
    return end == 0 ? 0 : end - 1;
}

} // namespace

uint32_t TFolderTree::Child(uint32_t id, uint32_t row) const {
    if (id >= nodes_.size() || row >= nodes_[id].ChildCount) return kNoFolder;
    return children_[nodes_[id].FirstChild + row];
}

bool TFolderTree::Contains(uint32_t folder, size_t result) const {
    const uint32_t at = FolderOf(result);
    return folder < nodes_.size() && at != kNoFolder && at >= folder && at < nodes_[folder].SubtreeEnd;
}

std::string TFolderTree::PathOf(uint32_t id) const {
    if (id >= nodes_.size()) return {};
    std::vector<uint32_t> chain;
    for (uint32_t n = id; n != 0 && n != kNoFolder; n = nodes_[n].Parent) chain.push_back(n);
    if (chain.empty()) return "/";
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) path += "/" + nodes_[*it].Name;
    return path;
}

bool TFolderTree::Reorder(const std::vector<size_t>& order) {
    if (order.size() != folderOf_.size()) return false;
    std::vector<uint32_t> moved(order.size());
    for (size_t i = 0; i < order.size(); ++i) moved[i] = order[i] < folderOf_.size() ? folderOf_[order[i]] : kNoFolder;
    folderOf_ = std::move(moved);
    return true;
}

std::vector<uint64_t> TFolderTree::CheckedPerFolder(const std::vector<bool>& checks) const {
    std::vector<uint64_t> counts(nodes_.size(), 0);
    const size_t n = std::min(checks.size(), folderOf_.size());
    for (size_t i = 0; i < n; ++i)
        if (checks[i] && folderOf_[i] != kNoFolder) ++counts[folderOf_[i]];
    // Children are numbered after their parents: one backward pass adds each to its parent.
    for (size_t id = nodes_.size(); id-- > 1;) counts[nodes_[id].Parent] += counts[id];
    return counts;
}

TFolderTree BuildFolderTree(const TFoundFiles& found, const std::atomic<bool>* stop,
                            const std::vector<std::string>* deletedFolders) {
    auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    TTreeGrower g;
    std::vector<uint32_t> folderOf(found.size(), 0);
    for (size_t i = 0; i < found.size(); ++i) {
        if ((i & 0xFFF) == 0 && stopped()) return {};
        const std::string_view path = TrimView(found[i].FullPath);
        const std::string_view folder = path.substr(0, FolderPartEnd(path));
        const uint32_t lastId = g.FolderOfParts(folder);
        folderOf[i] = lastId;
        if (found[i].IsDir) {
            // A deleted folder is a folder of the tree even when nothing was found in it.
            const std::string_view name = path.substr(folder.size());
            size_t b = 0;
            while (b < name.size() && IsSeparator(name[b])) ++b;
            if (b < name.size()) g.Deleted[g.ChildOf(lastId, name.substr(b))] = true;
        }
    }

    if (deletedFolders)
        for (const std::string& d : *deletedFolders) {
            const uint32_t id = g.FindFolder(TrimView(d));
            if (id != kNoFolder && id != 0) g.Deleted[id] = true;
        }

    // Number the folders depth first, children in name order.
    const size_t count = g.Parents.size();
    std::vector<std::vector<uint32_t>> kids(count);
    for (uint32_t id = 1; id < count; ++id) kids[g.Parents[id]].push_back(id);
    for (auto& k : kids)
        std::sort(k.begin(), k.end(), [&g](uint32_t a, uint32_t b) {
            const int c = CompareTextAsciiCI(g.Names[a], g.Names[b]);
            return c != 0 ? c < 0 : g.Names[a] < g.Names[b];
        });
    if (stopped()) return {};
    std::vector<uint32_t> newId(count, kNoFolder);
    std::vector<uint32_t> preorder;
    preorder.reserve(count);
    std::vector<uint32_t> pending{0};
    while (!pending.empty()) {
        const uint32_t id = pending.back();
        pending.pop_back();
        newId[id] = static_cast<uint32_t>(preorder.size());
        preorder.push_back(id);
        for (auto it = kids[id].rbegin(); it != kids[id].rend(); ++it) pending.push_back(*it);
    }

    TFolderTree t;
    t.nodes_.resize(count);
    t.children_.reserve(count > 0 ? count - 1 : 0);
    for (uint32_t n = 0; n < count; ++n) {
        const uint32_t old = preorder[n];
        TFolderNode& node = t.nodes_[n];
        node.Name.assign(g.Names[old]);
        node.Parent = old == 0 ? kNoFolder : newId[g.Parents[old]];
        node.Deleted = g.Deleted[old];
        node.FirstChild = static_cast<uint32_t>(t.children_.size());
        node.ChildCount = static_cast<uint32_t>(kids[old].size());
        for (uint32_t row = 0; row < node.ChildCount; ++row) t.children_.push_back(newId[kids[old][row]]);
    }
    for (const TFolderNode& node : t.nodes_)
        for (uint32_t row = 0; row < node.ChildCount; ++row) t.nodes_[t.children_[node.FirstChild + row]].Row = row;
    for (auto& f : folderOf) f = newId[f];
    t.folderOf_ = std::move(folderOf);

    // Counts and extents, children before parents; lost folders, parents before children.
    for (uint32_t f : t.folderOf_) ++t.nodes_[f].Files;
    for (uint32_t n = 0; n < count; ++n) {
        t.nodes_[n].Total = t.nodes_[n].Files;
        t.nodes_[n].SubtreeEnd = n + 1;
    }
    for (size_t n = count; n-- > 1;) {
        TFolderNode& parent = t.nodes_[t.nodes_[n].Parent];
        parent.Total += t.nodes_[n].Total;
        parent.SubtreeEnd = std::max(parent.SubtreeEnd, t.nodes_[n].SubtreeEnd);
    }
    for (uint32_t n = 1; n < count; ++n) {
        TFolderNode& node = t.nodes_[n];
        node.Lost = node.Parent == 0 ? node.Name == TFolderTree::kLostFolderName : t.nodes_[node.Parent].Lost;
    }
    return t;
}

} // namespace brivo
