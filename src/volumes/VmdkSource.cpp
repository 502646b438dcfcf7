#include <libvmdk.h>

#include "volumes/ContainerSource.h"
#include "volumes/LibyalSource.h"

namespace brivo {

namespace {

struct TVmdkApi {
    using Handle = libvmdk_handle_t;
    using Error = libvmdk_error_t;
    static ssize_t Read(Handle* h, void* buf, size_t n, int64_t off, Error** e) {
        return libvmdk_handle_read_buffer_at_offset(h, buf, n, off, e);
    }
    static std::string ErrorText(Error*& e) { return libyal::TakeErrorText(e, libvmdk_error_sprint, libvmdk_error_free); }
    static void Destroy(Handle*& h) {
        if (h == nullptr) return;
        libvmdk_handle_close(h, nullptr);
        libvmdk_handle_free(&h, nullptr);
    }
};

} // namespace

TByteSourcePtr OpenVmdkByteSource(const std::string& path, const std::string& format) {
    libvmdk_error_t* error = nullptr;
    libvmdk_handle_t* h = nullptr;
    if (libvmdk_handle_initialize(&h, &error) != 1) throw libyal::OpenFailure(format, path, TVmdkApi::ErrorText(error));
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
        const std::string detail = TVmdkApi::ErrorText(error);
        libvmdk_handle_free(&h, nullptr);
        throw libyal::OpenFailure(format, path, detail);
    }
    // A descriptor names its extent files; they are looked for beside it.
    size64_t size = 0;
    std::string detail;
    if (libvmdk_handle_open_extent_data_files(h, &error) != 1) detail = TVmdkApi::ErrorText(error);
    else if (libvmdk_handle_get_media_size(h, &size, &error) != 1) detail = TVmdkApi::ErrorText(error);
    if (!detail.empty()) {
        TVmdkApi::Destroy(h);
        throw libyal::OpenFailure(format, path, detail);
    }
    return std::make_shared<libyal::TLibyalByteSource<TVmdkApi>>(h, size, path, format);
}

} // namespace brivo
