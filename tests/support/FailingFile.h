#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "TestSupport.h"

namespace brivo::test {

// disk.img under a fresh mount point, failing in `bad` ("OFFSET:LENGTH,..."); unmounted
// when the object goes.
class FailingFile {
public:
    FailingFile(const TempDir& dir, const std::string& image, const std::string& bad) : mount_(dir / "mnt") {
#ifdef BRIVO_FAILING_FUSE_PATH
        if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) return;
        ::mkdir(mount_.c_str(), 0755);
        const ProcessResult r = RunProcess({BRIVO_FAILING_FUSE_PATH, image, mount_, bad});
        struct stat st {};
        mounted_ = r.exitCode == 0 && ::stat(Path().c_str(), &st) == 0;
        if (!mounted_) why_ = r.err;
#else
        (void)image;
        (void)bad;
#endif
    }
    ~FailingFile() {
        if (mounted_) RunProcess({"fusermount3", "-u", mount_});
    }
    bool Mounted() const { return mounted_; }
    std::string Path() const { return mount_ + "/disk.img"; }
    const std::string& Why() const { return why_; }

private:
    std::string mount_;
    bool mounted_ = false;
    std::string why_ = "needs root, /dev/fuse and libfuse3";
};

} // namespace brivo::test
