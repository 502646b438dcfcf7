// A file whose reads fail like a disk's bad sectors, for end-to-end tests through real
// system calls: mounts a folder holding one read-only file, disk.img, with the bytes of
// an image; a read touching one of the bad ranges fails with EIO (after a delay, as a
// drive that retries before it gives up). Reads go straight through (no page cache), so
// they fail at the reader's own granularity, sector by sector if it asks so.
//
//   brivo-failing-fuse IMAGE MOUNTPOINT OFFSET:LENGTH[,OFFSET:LENGTH...] [DELAY_MS]
//
// Returns once mounted (the file system runs on in the background); `fusermount3 -u
// MOUNTPOINT` ends it.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Range {
    uint64_t offset, length;
};

int gFd = -1;
uint64_t gSize = 0;
std::vector<Range> gBad;
int gDelayMs = 0;
constexpr const char* kName = "/disk.img";

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(gSize);
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info*, enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
    if (std::strcmp(path, kName) != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

int Read(const char*, char* buf, size_t n, off_t off, struct fuse_file_info*) {
    const uint64_t at = static_cast<uint64_t>(off);
    if (at >= gSize) return 0;
    if (n > gSize - at) n = static_cast<size_t>(gSize - at);
    for (const Range& r : gBad) {
        if (at < r.offset + r.length && r.offset < at + n) {
            if (gDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gDelayMs));
            return -EIO;
        }
    }
    const ssize_t got = ::pread(gFd, buf, n, off);
    return got < 0 ? -errno : static_cast<int>(got);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s IMAGE MOUNTPOINT OFFSET:LENGTH[,...] [DELAY_MS]\n", argv[0]);
        return 2;
    }
    gFd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (gFd < 0 || ::fstat(gFd, &st) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    gSize = static_cast<uint64_t>(st.st_size);
    std::string list = argv[3];
    for (size_t start = 0; start < list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string item = list.substr(start, comma - start);
        const size_t colon = item.find(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "bad range: %s\n", item.c_str());
            return 2;
        }
        gBad.push_back({std::strtoull(item.c_str(), nullptr, 0), std::strtoull(item.c_str() + colon + 1, nullptr, 0)});
        start = comma + 1;
    }
    if (argc > 4) gDelayMs = std::atoi(argv[4]);

    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.read = Read;
    // Single-threaded and read-only; "-s" keeps delays in order like one disk head.
    char* args[] = {argv[0], argv[2], const_cast<char*>("-s"), const_cast<char*>("-o"), const_cast<char*>("ro")};
    return fuse_main(5, args, &ops, nullptr);
}
