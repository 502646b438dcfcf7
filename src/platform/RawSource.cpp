#include "platform/RawSource.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/DeviceBroker.h"

namespace brivo {

std::string ErrnoText(int err) {
    char buf[256];
    // GNU strerror_r returns the message pointer (which may not be buf).
    const char* s = strerror_r(err, buf, sizeof buf);
    return s ? std::string(s) : std::string("error ") + std::to_string(err);
}

TRawSource::TRawSource(const std::string& path) {
    int err = 0;
    if (!Open(path, err)) throw std::runtime_error(openError_);
}

bool TRawSource::Open(const std::string& path, int& err) {
    openError_.clear();
    fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
        err = errno;
        openError_ = ErrnoText(err) + ": " + path;
        // A disk the user may not read: the system's disk service opens it read-only once
        // an administrator allows it. Root reads directly, and a refusal there is final.
        if ((err == EACCES || err == EPERM) && ::geteuid() != 0) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
                TBrokeredOpen brokered = OpenDeviceThroughBroker(path, !TNoBrokerScope::Active());
                if (!brokered.Fd) {
                    openError_ = brokered.Error;
                    return false;
                }
                fd_ = std::move(brokered.Fd);
            }
        }
        if (!fd_) return false;
    }
    path_ = path;
    size_ = 0;
    struct stat st {};
    if (::fstat(fd_.get(), &st) == 0) {
        if (S_ISREG(st.st_mode)) {
            size_ = static_cast<uint64_t>(st.st_size);
        } else if (S_ISBLK(st.st_mode)) {
            uint64_t bytes = 0;
            if (::ioctl(fd_.get(), BLKGETSIZE64, &bytes) == 0) size_ = bytes;
        }
    }
    err = 0;
    return true;
}

int64_t TRawSource::ReadAt(uint64_t offset, void* buf, size_t n) const {
    if (!fd_) { errno = EBADF; return -1; }
    auto* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    while (done < n) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX)) break;
        ssize_t r = ::pread(fd_.get(), p + done, n - done, static_cast<off_t>(offset + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
}

} // namespace brivo
