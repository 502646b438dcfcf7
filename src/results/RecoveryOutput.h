#pragma once
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "platform/UniqueFd.h"

namespace brivo {

// The name a recovered file takes when its own is taken: "name (2).ext", "name (3).ext",
// ... (n >= 2; n < 2 gives the name itself). The number goes before the last extension
// (at the end without keepExtension, as for a folder); a name with no dot but a leading
// one (".profile") has none. A name that would pass the 255-byte limit of a Linux file
// name (NTFS allows 255 UTF-16 units, up to 765 bytes of UTF-8) loses bytes from the end
// of its stem, never inside a UTF-8 character, for n = 1 too; the extension stays.
std::string NumberedName(const std::string& leaf, int n, bool keepExtension = true);

// The folders a batch writes into, reached as TRecoveryTarget describes, with the last one
// kept open: results mostly come sorted by path, so a file usually lands in the folder of
// the one before, and walking the path again for each would cost a handful of system
// calls per file.
class TRecoveryFolders {
public:
    // The open folder of relative's last component under folder (made when missing);
    // shownDir gets its path for messages. Throws like TRecoveryTarget. The descriptor
    // stays this object's.
    // shortened: whether a folder name on the way had to be cut to fit.
    int Open(const std::string& folder, const std::string& relative, std::string& shownDir, bool& shortened);

private:
    std::string key_;
    std::string shown_;
    bool shortened_ = false;
    UniqueFd fd_;
    // Shortened folder paths of this batch -> the name each was cut from.
    std::map<std::string, std::string> claimed_;
};

// Where one recovered file is written. The output folder may already hold links (planted
// there, or left by an earlier copy), and the program often runs as root, so nothing is
// trusted below the folder the user chose: every folder on the way is opened with
// O_NOFOLLOW relative to its parent, or created by us; where a link or a non-folder holds
// a folder's name, "name (2)" (then (3), ...) is used instead, and a name longer than a
// Linux file name allows is shortened (NumberedName): a name never fails a file. The content goes to a fresh hidden file beside the target, written through the
// descriptor this object holds, and only a complete extraction is moved to a free name;
// so a failed or stopped run leaves no partial file, and nothing already in the folder
// (an earlier copy, a file of the user's) is ever replaced.
class TRecoveryTarget {
public:
    // folder: the user's choice (a link naming it is followed; it is theirs to pick).
    // relative: "/"-separated, already cleaned (no "", "." or ".." components).
    // Throws std::runtime_error "<system message>: <path>" when a folder cannot be opened or
    // created (no permission, a full disk, a read-only file system). folders, when given, lends
    // the folder (and must outlive this object).
    TRecoveryTarget(const std::string& folder, const std::string& relative, TRecoveryFolders* folders = nullptr);
    ~TRecoveryTarget();
    TRecoveryTarget(const TRecoveryTarget&) = delete;
    TRecoveryTarget& operator=(const TRecoveryTarget&) = delete;

    // The hidden temporary file, open for writing.
    int Fd() const { return fd_.get(); }
    // The file the result is meant for (its folders as really opened, its name shortened
    // to fit), for messages; once Commit has run, the file it really went to.
    const std::string& FinalPath() const { return finalPath_; }
    // folder + "/" + relative: where the result would go if no name were taken or too long.
    const std::string& WantedPath() const { return wantedPath_; }
    // Whether the file's name or a folder's on the way was cut to fit 255 bytes.
    bool NameShortened() const { return shortened_; }

    // Gives the written file the modification and access time (when set), closes it and
    // moves it to the first free name of relative, NumberedName(leaf, 2), (3), ... A name
    // held by anything (a file, a folder, a link) is passed over. Returns FinalPath().
    // Throws, the temporary file removed, when the file cannot be closed (a delayed write
    // error) or no name can be taken.
    const std::string& Commit(std::optional<timespec> modTime = std::nullopt);
    // Removes the temporary file now (the destructor does the same).
    void Discard();

private:
    void Untrack();

    UniqueFd ownDir_;  // when no TRecoveryFolders lends one
    int dir_ = -1;
    UniqueFd fd_;
    std::string leaf_;
    std::string temp_;
    std::string shownDir_;
    std::string finalPath_;
    std::string wantedPath_;
    bool shortened_ = false;
    bool done_ = false;
    bool tracked_ = false;  // removed by a signal handler that ends the program
};

} // namespace brivo
