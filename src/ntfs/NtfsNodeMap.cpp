#include "ntfs/NtfsNodeMap.h"

#include <algorithm>

namespace brivo {

void TNtfsNodeMap::Reserve(size_t records) { slots_.reserve(records); }

void TNtfsNodeMap::Add(uint64_t inode, uint64_t parentRef, uint16_t seq, std::string_view name, bool isDir,
                       bool inUse) {
    // NTFS names are at most 255 UTF-16 units, at most 765 bytes of UTF-8.
    if (name.size() > 0xFFFF) name = name.substr(0, 0xFFFF);
    TSlot s{inode, parentRef, names_.size(), static_cast<uint16_t>(name.size()), seq,
            static_cast<uint8_t>((isDir ? kDir : 0) | (inUse ? kInUse : 0))};
    names_.append(name);
    if (!slots_.empty() && slots_.back().Inode >= inode) sorted_ = false;
    slots_.push_back(s);
}

void TNtfsNodeMap::Normalize() const {
    if (sorted_) return;
    // Later additions replace earlier ones under the same number: keep the last of each run.
    std::stable_sort(slots_.begin(), slots_.end(),
                     [](const TSlot& a, const TSlot& b) { return a.Inode < b.Inode; });
    size_t w = 0;
    for (size_t r = 0; r < slots_.size(); ++r) {
        if (r + 1 < slots_.size() && slots_[r + 1].Inode == slots_[r].Inode) continue;
        slots_[w++] = slots_[r];
    }
    slots_.resize(w);
    sorted_ = true;
}

const TNtfsNodeMap::TSlot* TNtfsNodeMap::Lookup(uint64_t inode) const {
    Normalize();
    auto it = std::lower_bound(slots_.begin(), slots_.end(), inode,
                               [](const TSlot& s, uint64_t v) { return s.Inode < v; });
    return (it != slots_.end() && it->Inode == inode) ? &*it : nullptr;
}

bool TNtfsNodeMap::Find(uint64_t inode, TNtfsMftNode& node) const {
    const TSlot* s = Lookup(inode);
    if (!s) return false;
    node.Inode = s->Inode;
    node.Parent = MftRecordNumber(s->ParentRef);
    node.ParentSeq = MftSequenceNumber(s->ParentRef);
    node.Name = std::string_view(names_).substr(s->NameOff, s->NameLen);
    node.IsDir = (s->Flags & kDir) != 0;
    node.InUse = (s->Flags & kInUse) != 0;
    node.Seq = s->Seq;
    return true;
}

size_t TNtfsNodeMap::Size() const {
    Normalize();
    return slots_.size();
}

void TNtfsNodeMap::Clear() {
    std::vector<TSlot>().swap(slots_);
    std::string().swap(names_);
    sorted_ = true;
}

bool ParentReferenceMatches(uint16_t refSeq, const TNtfsMftNode& parent) {
    if (parent.Seq == refSeq) return true;
    // Freeing a record increments its number, skipping 0 when it wraps.
    const uint16_t next = (refSeq == 0xFFFF) ? 1 : static_cast<uint16_t>(refSeq + 1);
    return !parent.InUse && parent.Seq == next;
}

std::string BuildMftPath(uint64_t parentRef, const TNtfsNodeMap& map, std::vector<std::string>* deletedFolders) {
    std::vector<std::string_view> names;
    std::vector<bool> gone;  // per name: its record is free
    std::vector<uint64_t> visited;
    uint64_t cur = MftRecordNumber(parentRef);
    uint16_t curSeq = MftSequenceNumber(parentRef);
    TNtfsMftNode node;
    while (visited.size() < kMaxMftPathDepth && map.Find(cur, node) && ParentReferenceMatches(curSeq, node) &&
           std::find(visited.begin(), visited.end(), cur) == visited.end()) {
        visited.push_back(cur);
        if (!node.Name.empty() && cur != kMftRecordRoot) {
            names.push_back(node.Name);
            gone.push_back(!node.InUse);
        }
        if (node.Parent == cur || node.Parent == 0 || cur == kMftRecordRoot) break;
        cur = node.Parent;
        curSeq = node.ParentSeq;
    }
    std::string path;
    for (size_t k = names.size(); k-- > 0;) {
        if (!path.empty()) path.push_back('/');
        path.append(names[k]);
        if (deletedFolders && gone[k]) deletedFolders->push_back(path);
    }
    return path;
}

} // namespace brivo
