#include <libewf.h>

#include "volumes/ContainerSource.h"
#include "volumes/LibyalSource.h"

namespace brivo {

namespace {

struct TEwfApi {
    using Handle = libewf_handle_t;
    using Error = libewf_error_t;
    static ssize_t Read(Handle* h, void* buf, size_t n, int64_t off, Error** e) {
        return libewf_handle_read_random(h, buf, n, off, e);
    }
    static std::string ErrorText(Error*& e) { return libyal::TakeErrorText(e, libewf_error_sprint, libewf_error_free); }
    static void Destroy(Handle*& h) {
        if (h == nullptr) return;
        libewf_handle_close(h, nullptr);
        libewf_handle_free(&h, nullptr);
    }
};

struct TGlob {
    char** names = nullptr;
    int count = 0;
    ~TGlob() {
        if (names != nullptr) libewf_glob_free(names, count, nullptr);
    }
};

} // namespace

TByteSourcePtr OpenEwfByteSource(const std::string& path, const std::string& format) {
    libewf_error_t* error = nullptr;
    // The segment files .E01, .E02, ... (or .Ex01, ...) are found from the first one's name.
    // A file renamed to another extension cannot be globbed: it is opened alone, as a
    // set of one segment.
    TGlob glob;
    char* single[] = {const_cast<char*>(path.c_str())};
    char** names = single;
    int count = 1;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &glob.names, &glob.count, &error) == 1) {
        names = glob.names;
        count = glob.count;
    } else {
        TEwfApi::ErrorText(error);
    }
    libewf_handle_t* h = nullptr;
    if (libewf_handle_initialize(&h, &error) != 1) throw libyal::OpenFailure(format, path, TEwfApi::ErrorText(error));
    if (libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, &error) != 1) {
        const std::string detail = TEwfApi::ErrorText(error);
        libewf_handle_free(&h, nullptr);
        throw libyal::OpenFailure(format, path, detail);
    }
    size64_t size = 0;
    std::string detail;
    if (libewf_handle_get_media_size(h, &size, &error) != 1) detail = TEwfApi::ErrorText(error);
    // A set that ends early (a segment missing or cut short) opens, but only part of the
    // disk is behind it: refused here rather than failing halfway through a scan.
    else if (libewf_handle_segment_files_corrupted(h, &error) == 1)
        detail = "the segment files end early: a segment (.E02, .E03, ...) is missing or cut short";
    if (error != nullptr) TEwfApi::ErrorText(error);
    if (!detail.empty()) {
        TEwfApi::Destroy(h);
        throw libyal::OpenFailure(format, path, detail);
    }
    return std::make_shared<libyal::TLibyalByteSource<TEwfApi>>(h, size, path, format);
}

} // namespace brivo
