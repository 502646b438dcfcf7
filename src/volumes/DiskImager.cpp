#include "volumes/DiskImager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/Sha256.h"
#include "platform/RawSource.h"
#include "platform/UniqueFd.h"

namespace brivo {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHoleBlock = 4096;
constexpr uint64_t kIdentityBytes = 1 << 20;
// The map's comment line that names the source it belongs to; the rescue tools skip it
// like every line starting with '#'.
constexpr std::string_view kIdentityTag = "Source identity: ";

// Size and hash of the first MiB, or the size alone when that MiB cannot be read whole
// (a failing first sector must not stop the copy).
struct TSourceIdentity {
    uint64_t Size = 0;
    std::string Sha256;  // empty when not known
};

TSourceIdentity IdentifySource(TByteSource& src) {
    TSourceIdentity id;
    id.Size = src.Size();
    std::vector<uint8_t> head(static_cast<size_t>(std::min(id.Size, kIdentityBytes)));
    if (src.ReadAt(0, head.data(), head.size()) == static_cast<int64_t>(head.size())) id.Sha256 = Sha256Hex(head);
    return id;
}

std::string IdentityText(const TSourceIdentity& id) {
    return std::string(kIdentityTag) + "size " + std::to_string(id.Size) + ", first MiB sha256 " +
           (id.Sha256.empty() ? "unknown" : id.Sha256);
}

// The identity kept in a map file's comments; false when it has none (a map written by
// another tool or an older version).
bool FindIdentity(const std::string& text, TSourceIdentity& id) {
    const size_t at = text.find("# " + std::string(kIdentityTag));
    if (at == std::string::npos) return false;
    const size_t eol = text.find('\n', at);
    const std::string line = text.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
    unsigned long long size = 0;
    char hash[80] = {};
    const std::string fmt = "# " + std::string(kIdentityTag) + "size %llu, first MiB sha256 %79s";
    if (std::sscanf(line.c_str(), fmt.c_str(), &size, hash) != 2) return false;
    id.Size = size;
    id.Sha256 = std::string(hash) == "unknown" ? "" : hash;
    return true;
}

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

// Each byte equal to the next and the first zero: memcmp's speed, no table of zeros.
bool AllZero(const uint8_t* p, size_t n) { return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0); }

void WriteAll(int fd, const std::string& path, const uint8_t* p, size_t n, uint64_t at) {
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) throw std::runtime_error("Cannot write " + path + ": " + ErrnoText(w < 0 ? errno : ENOSPC));
        p += w;
        n -= static_cast<size_t>(w);
        at += static_cast<uint64_t>(w);
    }
}

class TImager {
public:
    TImager(TByteSource& src, const std::string& out, const TImageOptions& o) : src_(src), out_(out), o_(o) {}

    TImageResult Run();

private:
    bool Stopped() const { return o_.Stop && o_.Stop->load(); }
    void Open();
    void CopyPass(bool skipping);
    void RetryPass();
    // Writes the non-zero blocks of bytes read at pos (the image's zeros stay holes).
    void Store(uint64_t pos, const uint8_t* bytes, size_t n);
    // Zeros over [pos, pos + n) of an image that may hold other bytes there.
    void Clear(uint64_t pos, uint64_t n);
    void CheckMapBelongs(const std::string& text, bool outExists, uint64_t outSize);
    void SaveMap();
    void Report(const char* phase, bool force = false);

    TByteSource& src_;
    std::string out_;
    const TImageOptions& o_;
    std::string mapPath_;
    TRescueMap map_;
    UniqueFd fd_;
    // Made in this run: its untouched bytes read as zeros, so zero blocks can stay holes.
    // Any other image may hold old bytes anywhere that is not copied.
    bool created_ = false;
    TSourceIdentity identity_;
    std::vector<uint8_t> buf_;
    TImageResult result_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastReport_{};
    Clock::time_point lastSave_ = Clock::now();
    uint64_t rescuedAtStart_ = 0;
    std::string startTime_ = LocalTimeText();
};

void TImager::Open() {
    const uint64_t size = src_.Size();
    if (size == 0) throw std::runtime_error("The size of " + src_.Name() + " is not known: it cannot be imaged.");
    mapPath_ = o_.MapPath.empty() ? out_ + ".map" : o_.MapPath;
    map_ = TRescueMap(size);
    identity_ = IdentifySource(src_);

    struct stat st {};
    const bool outExists = ::stat(out_.c_str(), &st) == 0;
    std::string text;
    int err = 0;
    const bool mapExists = ReadRescueMapFile(mapPath_, text, err);
    if (!mapExists && err != ENOENT) throw std::runtime_error("Cannot read the map file " + mapPath_ + ": " + ErrnoText(err));
    if (outExists && !S_ISREG(st.st_mode))
        throw std::runtime_error(out_ + " is not a regular file: the image must be a new file.");
    if (mapExists) {
        map_ = ParseRescueMap(text, size);
        result_.Resumed = true;
        if (!outExists && map_.Bytes(TRescueStatus::Finished) > 0)
            throw std::runtime_error("The map file " + mapPath_ + " belongs to an image that is not there: " + out_ + ".");
        CheckMapBelongs(text, outExists, outExists ? static_cast<uint64_t>(st.st_size) : 0);
    } else if (outExists) {
        throw std::runtime_error(out_ + " already exists. To go on with an earlier copy, keep its map file (" + mapPath_ +
                                 ") beside it; otherwise choose a new name.");
    }

    fd_ = UniqueFd(::open(out_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (outExists ? 0 : O_EXCL), 0644));
    if (!fd_) throw std::runtime_error("Cannot create " + out_ + ": " + ErrnoText(errno));
    created_ = !outExists;
    if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error(out_ + " is not a regular file: the image must be a new file.");
    if (static_cast<uint64_t>(st.st_size) < size && ::ftruncate(fd_.get(), static_cast<off_t>(size)) != 0)
        throw std::runtime_error("Cannot create " + out_ + ": " + ErrnoText(errno));
    // Areas an earlier run gave up on are said to be zeros: make them so, whatever the file
    // held (an image continued from another tool's run, or an old file kept by mistake).
    if (!created_)
        for (const TRescueBlock& b : map_.Blocks(TRescueStatus::Bad)) Clear(b.Pos, b.Size);
    rescuedAtStart_ = map_.Bytes(TRescueStatus::Finished);
    SaveMap();
}

void TImager::CheckMapBelongs(const std::string& text, bool outExists, uint64_t outSize) {
    const uint64_t size = map_.Size();
    const std::string another = " Choose a new image and map file, or give the source they were made of.";
    if (map_.FileExtent != 0 && map_.FileExtent != size)
        throw std::runtime_error("The map file " + mapPath_ + " describes a source of " + std::to_string(map_.FileExtent) +
                                 " bytes, but " + src_.Name() + " has " + std::to_string(size) +
                                 ": it belongs to a copy of another source." + another);
    TSourceIdentity kept;
    if (FindIdentity(text, kept) && (kept.Size != size || (!kept.Sha256.empty() && !identity_.Sha256.empty() &&
                                                           kept.Sha256 != identity_.Sha256)))
        throw std::runtime_error("The map file " + mapPath_ + " belongs to a copy of another source: " +
                                 (kept.Size != size ? "its size differs" : "its first MiB differs from " + src_.Name()) +
                                 "." + another);
    if (!outExists) return;
    // What the map calls copied must be in the image.
    uint64_t copiedEnd = 0;
    for (const TRescueBlock& b : map_.Blocks(TRescueStatus::Finished)) copiedEnd = b.Pos + b.Size;
    if (copiedEnd > outSize)
        throw std::runtime_error(out_ + " is shorter (" + std::to_string(outSize) + " bytes) than its map file " + mapPath_ +
                                 " says was copied (" + std::to_string(copiedEnd) + " bytes): they do not belong together." +
                                 another);
    // And where the map says the first MiB is copied, it must be the source's.
    const uint64_t head = std::min(size, kIdentityBytes);
    if (identity_.Sha256.empty() || map_.Bytes(TRescueStatus::Finished) == 0) return;
    const std::vector<TRescueBlock> blocks = map_.Blocks();
    if (blocks.empty() || blocks.front().Status != TRescueStatus::Finished || blocks.front().Size < head) return;
    UniqueFd in(::open(out_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::vector<uint8_t> bytes(static_cast<size_t>(head));
    size_t got = 0;
    while (in && got < bytes.size()) {
        const ssize_t r = ::pread(in.get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got == bytes.size() && Sha256Hex(bytes) != identity_.Sha256)
        throw std::runtime_error(out_ + " does not hold what its map file " + mapPath_ + " says was copied from " +
                                 src_.Name() + " (its first MiB differs)." + another);
}

void TImager::Clear(uint64_t pos, uint64_t n) {
    static const std::vector<uint8_t> zeros(64 << 10);
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
        WriteAll(fd_.get(), out_, zeros.data(), k, pos);
        pos += k;
        n -= k;
    }
}

void TImager::Store(uint64_t pos, const uint8_t* bytes, size_t n) {
    if (!created_) {
        WriteAll(fd_.get(), out_, bytes, n, pos);
        return;
    }
    size_t i = 0;
    while (i < n) {
        // Runs of blocks holding anything but zeros, written at once.
        size_t j = i;
        while (j < n) {
            const size_t k = std::min(kHoleBlock, n - j);
            if (AllZero(bytes + j, k)) break;
            j += k;
        }
        if (j > i) WriteAll(fd_.get(), out_, bytes + i, j - i, pos + i);
        // Skip the zero blocks after it.
        while (j < n) {
            const size_t k = std::min(kHoleBlock, n - j);
            if (!AllZero(bytes + j, k)) break;
            j += k;
        }
        i = j;
    }
}

void TImager::SaveMap() {
    // The image's bytes reach the disk before a map that says they are there.
    if (fd_ && ::fdatasync(fd_.get()) != 0 && errno != EINVAL)
        throw std::runtime_error("Cannot write " + out_ + ": " + ErrnoText(errno));
    std::vector<std::string> comments = {"Mapfile. Created by brivo-recovery-cli"};
    comments.insert(comments.end(), o_.MapComments.begin(), o_.MapComments.end());
    comments.push_back(IdentityText(identity_));
    comments.push_back("Start time:   " + startTime_);
    comments.push_back("Current time: " + LocalTimeText());
    if (map_.CurrentStatus == '+') comments.push_back("Finished");
    const std::string text = FormatRescueMap(map_, comments);
    const std::string tmp = mapPath_ + ".tmp";
    {
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd) throw std::runtime_error("Cannot write the map file " + tmp + ": " + ErrnoText(errno));
        WriteAll(fd.get(), tmp, reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0);
        if (::fsync(fd.get()) != 0) throw std::runtime_error("Cannot write the map file " + tmp + ": " + ErrnoText(errno));
    }
    if (::rename(tmp.c_str(), mapPath_.c_str()) != 0)
        throw std::runtime_error("Cannot write the map file " + mapPath_ + ": " + ErrnoText(errno));
    lastSave_ = Clock::now();
}

void TImager::Report(const char* phase, bool force) {
    const auto now = Clock::now();
    if (now - lastSave_ > std::chrono::seconds(30)) SaveMap();
    if (!force && (!o_.OnProgress || now - lastReport_ < std::chrono::milliseconds(250))) return;
    lastReport_ = now;
    TImageProgress p;
    p.Total = map_.Size();
    p.Rescued = map_.Bytes(TRescueStatus::Finished);
    p.BadBytes = map_.Bytes(TRescueStatus::Bad);
    p.Pending = map_.Bytes(TRescueStatus::NonTrimmed) + map_.Bytes(TRescueStatus::NonScraped);
    p.NotTried = map_.Bytes(TRescueStatus::NonTried);
    p.Errors = map_.Count(TRescueStatus::Bad) + map_.Count(TRescueStatus::NonTrimmed) + map_.Count(TRescueStatus::NonScraped);
    const double secs = std::chrono::duration<double>(now - start_).count();
    if (secs > 0.5) {
        p.BytesPerSecond = static_cast<double>(p.Rescued - rescuedAtStart_) / secs;
        const uint64_t left = p.Total - p.Rescued - p.BadBytes;
        if (p.BytesPerSecond > 0) p.SecondsLeft = static_cast<double>(left) / p.BytesPerSecond;
    }
    p.Phase = phase;
    result_.Last = p;
    if (o_.OnProgress) o_.OnProgress(p);
}

void TImager::CopyPass(bool skipping) {
    const uint64_t chunk = std::max<uint64_t>(o_.ChunkBytes, o_.SectorBytes);
    buf_.resize(static_cast<size_t>(chunk));
    uint32_t failsInRow = 0;
    uint64_t skip = 0;
    for (const TRescueBlock& b : map_.Blocks(TRescueStatus::NonTried)) {
        uint64_t p = b.Pos;
        const uint64_t end = b.Pos + b.Size;
        while (p < end) {
            if (Stopped()) return;
            const uint64_t n = std::min(end, p - p % chunk + chunk) - p;
            map_.CurrentPos = p;
            const int64_t got = src_.ReadAt(p, buf_.data(), static_cast<size_t>(n));
            if (got == static_cast<int64_t>(n)) {
                Store(p, buf_.data(), static_cast<size_t>(n));
                map_.Set(p, n, TRescueStatus::Finished);
                failsInRow = 0;
                skip = 0;
                p += n;
            } else {
                map_.Set(p, n, TRescueStatus::NonTrimmed);
                p += n;
                if (skipping && ++failsInRow >= o_.SkipAfterFailures) {
                    // Deep in a bad stretch: what is jumped over stays untried for the next pass.
                    skip = skip ? std::min<uint64_t>(skip * 2, uint64_t{1} << 30) : chunk;
                    p = std::min(end, p + skip);
                }
            }
            Report("copying");
        }
    }
}

void TImager::RetryPass() {
    const uint64_t sector = o_.SectorBytes ? o_.SectorBytes : 512;
    buf_.resize(static_cast<size_t>(sector));
    map_.CurrentStatus = '/';
    std::vector<TRescueBlock> todo = map_.Blocks(TRescueStatus::NonTrimmed);
    for (const TRescueBlock& b : map_.Blocks(TRescueStatus::NonScraped)) todo.push_back(b);
    std::sort(todo.begin(), todo.end(), [](const TRescueBlock& x, const TRescueBlock& y) { return x.Pos < y.Pos; });
    for (const TRescueBlock& b : todo) {
        const uint64_t end = b.Pos + b.Size;
        for (uint64_t p = b.Pos; p < end;) {
            if (Stopped()) return;
            const uint64_t n = std::min(end, p - p % sector + sector) - p;
            map_.CurrentPos = p;
            if (src_.ReadAt(p, buf_.data(), static_cast<size_t>(n)) == static_cast<int64_t>(n)) {
                Store(p, buf_.data(), static_cast<size_t>(n));
                map_.Set(p, n, TRescueStatus::Finished);
            } else {
                if (!created_) Clear(p, n);
                map_.Set(p, n, TRescueStatus::Bad);
            }
            p += n;
            Report("retrying bad areas");
        }
    }
}

TImageResult TImager::Run() {
    Open();
    map_.CurrentStatus = '?';
    CopyPass(true);
    if (!Stopped()) CopyPass(false);
    if (!Stopped()) RetryPass();
    result_.Stopped = Stopped() && map_.Bytes(TRescueStatus::Finished) + map_.Bytes(TRescueStatus::Bad) < map_.Size();
    if (!result_.Stopped) {
        map_.CurrentStatus = '+';
        map_.CurrentPos = 0;
    }
    SaveMap();
    Report(result_.Stopped ? "stopped" : "finished", true);
    result_.BadAreas = map_.Count(TRescueStatus::Bad);
    return result_;
}

} // namespace

TImageResult ImageSource(TByteSource& src, const std::string& outPath, const TImageOptions& options) {
    TImager imager(src, outPath, options);
    return imager.Run();
}

} // namespace brivo
