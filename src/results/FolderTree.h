#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/FoundFile.h"

namespace brivo {

inline constexpr uint32_t kNoFolder = UINT32_MAX;

// One folder of the tree. Folders are numbered in depth-first order with each folder's
// children in name order, so a folder and everything below it are the numbers
// [id, SubtreeEnd): "is this result under that folder" is two comparisons.
struct TFolderNode {
    std::string Name;             // one path component; "" for the root
    uint32_t Parent = kNoFolder;  // kNoFolder for the root (folder 0)
    uint32_t FirstChild = 0;      // where its children start in the child list
    uint32_t ChildCount = 0;
    uint32_t Row = 0;             // its place among its parent's children
    uint32_t SubtreeEnd = 0;
    uint64_t Files = 0;           // results directly in it
    uint64_t Total = 0;           // results in it and below
    bool Deleted = false;         // the folder is itself one of the results (a deleted folder)
    bool Lost = false;            // under the lost-files folder: its real place is unknown
};

// The folders of a scan's results as a tree, built once per scan. Widget-free; the window
// shows it beside the list. Result indices are FFound's.
class TFolderTree {
public:
    // The folder lost files are gathered in, directly under the root.
    static constexpr const char* kLostFolderName = "$OrphanFiles";

    size_t NodeCount() const { return nodes_.size(); }
    size_t ResultCount() const { return folderOf_.size(); }
    bool Empty() const { return nodes_.empty(); }
    const TFolderNode& Node(uint32_t id) const { return nodes_[id]; }
    // The row-th child of a folder (rows count from 0); kNoFolder outside.
    uint32_t Child(uint32_t id, uint32_t row) const;
    // The folder a result lies in; kNoFolder for an index outside the results.
    uint32_t FolderOf(size_t result) const { return result < folderOf_.size() ? folderOf_[result] : kNoFolder; }
    // Whether a result lies in folder or below it.
    bool Contains(uint32_t folder, size_t result) const;
    // "/a/b" for a folder; "/" for the root.
    std::string PathOf(uint32_t id) const;
    // After the results were sorted: order[i] is the old index of result i. An order of
    // another length leaves the tree as it is and returns false.
    bool Reorder(const std::vector<size_t>& order);
    // How many of each folder's results (itself and below) checks marks; checks is indexed
    // like the results (missing marks count as unset).
    std::vector<uint64_t> CheckedPerFolder(const std::vector<bool>& checks) const;

private:
    friend TFolderTree BuildFolderTree(const TFoundFiles& found, const std::atomic<bool>* stop,
                                       const std::vector<std::string>* deletedFolders);
    std::vector<TFolderNode> nodes_;
    std::vector<uint32_t> children_;  // every folder's children, each run in name order
    std::vector<uint32_t> folderOf_;  // per result
};

// The tree of the folders the results lie in, and of the deleted folders among them.
// A path's folders are its "/" or "\" separated parts before the last one, blanks and
// control characters at both ends ignored, empty parts skipped (so "C:\a\x" lies in
// "C:" > "a"). stop, when given, is polled; a build it ends returns an empty tree.
// deletedFolders: the paths of the folders the scan knows were deleted (the readers list
// no folders among the results); those that hold results are marked Deleted.
TFolderTree BuildFolderTree(const TFoundFiles& found, const std::atomic<bool>* stop = nullptr,
                            const std::vector<std::string>* deletedFolders = nullptr);

} // namespace brivo
