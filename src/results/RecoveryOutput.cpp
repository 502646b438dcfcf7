#include "results/RecoveryOutput.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>

#include "platform/RawSource.h"
#include "platform/TempFileCleanup.h"

namespace brivo {

namespace {

constexpr size_t kMaxNameBytes = 255;
// Enough for every copy a person keeps; past it something is wrong with the folder.
constexpr int kMaxNumberedName = 100000;

[[noreturn]] void Fail(int err, const std::string& path) { throw std::runtime_error(ErrnoText(err) + ": " + path); }

// The name only has to be unlikely to be taken (it is created exclusively, and a taken
// one is simply drawn again), so a generator seeded once per thread will do: a batch of
// a hundred thousand files would otherwise read the kernel's entropy 16 times per file.
std::string RandomHex(size_t n) {
    static const char* kHex = "0123456789abcdef";
    thread_local std::mt19937_64 gen{(static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}()};
    std::string s;
    uint64_t bits = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 16 == 0) bits = gen();
        s += kHex[bits & 15];
        bits >>= 4;
    }
    return s;
}

// Moves from to to inside one folder unless to exists. Returns 0 or an errno value
// (EEXIST: the name is taken).
int RenameNoReplace(int dir, const char* from, const char* to) {
    if (::renameat2(dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
    int err = errno;
    if (err != EINVAL && err != ENOSYS && err != EOPNOTSUPP) return err;
    // A file system that cannot rename without replacing: a hard link is refused when
    // the name exists.
    if (::linkat(dir, from, dir, to, 0) == 0) {
        ::unlinkat(dir, from, 0);
        return 0;
    }
    err = errno;
    if (err != EPERM && err != EOPNOTSUPP && err != ENOSYS) return err;
    // Neither (FAT-like file systems on old kernels): look first. Only another writer in
    // the same output folder could take the name between the look and the rename.
    struct stat st {};
    if (::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return ::renameat(dir, from, dir, to) == 0 ? 0 : errno;
}

} // namespace

std::string NumberedName(const std::string& leaf, int n, bool keepExtension) {
    const std::string mark = n < 2 ? std::string() : " (" + std::to_string(n) + ")";
    size_t dot = keepExtension ? leaf.rfind('.') : std::string::npos;
    if (dot == std::string::npos || dot == 0) dot = leaf.size();
    // An "extension" that leaves no room for a character of the stem is part of the name.
    if (leaf.size() - dot + mark.size() + 4 > kMaxNameBytes) dot = leaf.size();
    std::string stem = leaf.substr(0, dot);
    const std::string ext = leaf.substr(dot);
    if (stem.size() + mark.size() + ext.size() > kMaxNameBytes) {
        size_t cut = kMaxNameBytes - mark.size() - ext.size();
        // Back to the start of a UTF-8 character (a byte that is not 10xxxxxx).
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        stem.resize(cut);
    }
    return stem + mark + ext;
}

namespace {

// Opens (or creates) one folder below parent without following a link. A name held by
// something else (a file, a link, a device) is passed over for "name (2)", "name (3)",
// ...; a name too long for a file system is shortened first. shown gets the folder's
// path for messages; shortened says whether its name had to be cut. claimed (may be
// null) keeps which original name each shortened name stands for, so two long names
// that begin alike stay two folders.
UniqueFd OpenChildFolder(int parent, const std::string& name, std::string& shown, bool& shortened,
                         std::map<std::string, std::string>* claimed) {
    const std::string parentShown = shown;
    shortened = NumberedName(name, 1, false) != name;
    for (int n = 1; n <= kMaxNumberedName; ++n) {
        const std::string candidate = NumberedName(name, n, false);
        shown = parentShown + "/" + candidate;
        if (shortened && claimed) {
            const auto it = claimed->find(shown);
            if (it != claimed->end() && it->second != name) continue;
        }
        for (int attempt = 0; attempt < 4; ++attempt) {
            UniqueFd fd(::openat(parent, candidate.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd) {
                if (shortened && claimed) claimed->emplace(shown, name);
                return fd;
            }
            const int err = errno;
            if (err == ENOENT) {
                if (::mkdirat(parent, candidate.c_str(), 0777) != 0 && errno != EEXIST) Fail(errno, shown);
                continue;  // made it (or someone else did): open it for real
            }
            // Not a folder, or a link (never followed): the next name.
            if (err == ELOOP || err == ENOTDIR) break;
            Fail(err, shown);
        }
    }
    Fail(EEXIST, parentShown + "/" + name);
}

// Opens folder, then every folder of relative but its last component, below it.
UniqueFd OpenFolderChain(const std::string& folder, const std::string& relative, std::string& shown,
                         bool& shortened, std::map<std::string, std::string>* claimed) {
    shown = folder;
    shortened = false;
    while (!shown.empty() && shown.back() == '/') shown.pop_back();  // "/" gives "", then "/name"
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) Fail(errno, folder);
    size_t pos = 0;
    for (;;) {
        const size_t slash = relative.find('/', pos);
        if (slash == std::string::npos) break;
        bool cut = false;
        dir = OpenChildFolder(dir.get(), relative.substr(pos, slash - pos), shown, cut, claimed);
        shortened = shortened || cut;
        pos = slash + 1;
    }
    return dir;
}

} // namespace

int TRecoveryFolders::Open(const std::string& folder, const std::string& relative, std::string& shownDir,
                           bool& shortened) {
    const size_t slash = relative.rfind('/');
    std::string key = folder;
    key += '\0';
    if (slash != std::string::npos) key.append(relative, 0, slash);
    if (!fd_ || key != key_) {
        key_.clear();
        fd_ = OpenFolderChain(folder, relative, shown_, shortened_, &claimed_);
        key_ = std::move(key);
    }
    shownDir = shown_;
    shortened = shortened_;
    return fd_.get();
}

TRecoveryTarget::TRecoveryTarget(const std::string& folder, const std::string& relative, TRecoveryFolders* folders) {
    bool folderShortened = false;
    if (folders) {
        dir_ = folders->Open(folder, relative, shownDir_, folderShortened);
    } else {
        ownDir_ = OpenFolderChain(folder, relative, shownDir_, folderShortened, nullptr);
        dir_ = ownDir_.get();
    }
    const size_t slash = relative.rfind('/');
    leaf_ = slash == std::string::npos ? relative : relative.substr(slash + 1);
    wantedPath_ = folder;
    while (!wantedPath_.empty() && wantedPath_.back() == '/') wantedPath_.pop_back();
    wantedPath_ += "/" + relative;
    const std::string fitted = NumberedName(leaf_, 1);
    shortened_ = folderShortened || fitted != leaf_;
    finalPath_ = shownDir_ + "/" + fitted;

    // The program is ending on a signal: nothing new is started.
    if (TempFilesEnding()) Fail(ECANCELED, finalPath_);
    // Short and fixed-length, so a target name near the 255-byte limit still has room.
    for (int attempt = 0;; ++attempt) {
        temp_ = ".brivo-" + RandomHex(16) + ".part";
        fd_.reset(::openat(dir_, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd_) break;
        if (errno != EEXIST || attempt >= 8) Fail(errno, finalPath_);
    }
    // A program ended by a signal removes it rather than leave a part-written file.
    tracked_ = TrackTempFile(dir_, temp_.c_str());
}

TRecoveryTarget::~TRecoveryTarget() { Discard(); }

void TRecoveryTarget::Untrack() {
    if (tracked_) UntrackTempFile(dir_, temp_.c_str());
    tracked_ = false;
}

void TRecoveryTarget::Discard() {
    fd_.reset();
    if (!done_ && dir_ >= 0) ::unlinkat(dir_, temp_.c_str(), 0);
    Untrack();
    done_ = true;
}

const std::string& TRecoveryTarget::Commit(std::optional<timespec> modTime) {
    if (done_) throw std::runtime_error("Internal error: output committed twice: " + finalPath_);
    if (modTime) {
        const timespec times[2] = {*modTime, *modTime};
        // A time the file system cannot hold leaves the recovery time: the content is
        // what was asked for.
        ::futimens(fd_.get(), times);
    }
    // A delayed write error (a full or failing disk) shows up here at the latest.
    if (::close(fd_.release()) != 0) {
        const int err = errno;
        Discard();
        Fail(err, finalPath_);
    }
    for (int n = 1; n <= kMaxNumberedName; ++n) {
        const std::string name = NumberedName(leaf_, n);
        const int err = RenameNoReplace(dir_, temp_.c_str(), name.c_str());
        if (err == 0) {
            Untrack();
            done_ = true;
            finalPath_ = shownDir_ + "/" + name;
            return finalPath_;
        }
        if (err != EEXIST && err != ENOTEMPTY && err != EISDIR) {
            Discard();
            Fail(err, shownDir_ + "/" + name);
        }
    }
    Discard();
    Fail(EEXIST, finalPath_);
}

} // namespace brivo
