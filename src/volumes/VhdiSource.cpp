#include <libvhdi.h>

#include "volumes/ContainerSource.h"
#include "volumes/LibyalSource.h"

namespace brivo {

namespace {

struct TVhdiApi {
    using Handle = libvhdi_file_t;
    using Error = libvhdi_error_t;
    static ssize_t Read(Handle* h, void* buf, size_t n, int64_t off, Error** e) {
        return libvhdi_file_read_buffer_at_offset(h, buf, n, off, e);
    }
    static std::string ErrorText(Error*& e) { return libyal::TakeErrorText(e, libvhdi_error_sprint, libvhdi_error_free); }
    static void Destroy(Handle*& h) {
        if (h == nullptr) return;
        libvhdi_file_close(h, nullptr);
        libvhdi_file_free(&h, nullptr);
    }
};

} // namespace

TByteSourcePtr OpenVhdiByteSource(const std::string& path, const std::string& format) {
    libvhdi_error_t* error = nullptr;
    libvhdi_file_t* h = nullptr;
    if (libvhdi_file_initialize(&h, &error) != 1) throw libyal::OpenFailure(format, path, TVhdiApi::ErrorText(error));
    if (libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
        const std::string detail = TVhdiApi::ErrorText(error);
        libvhdi_file_free(&h, nullptr);
        throw libyal::OpenFailure(format, path, detail);
    }
    size64_t size = 0;
    std::string detail;
    uint32_t type = 0;
    if (libvhdi_file_get_media_size(h, &size, &error) != 1) detail = TVhdiApi::ErrorText(error);
    else if (libvhdi_file_get_disk_type(h, &type, &error) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL)
        detail = "it is a differencing disk, which holds only the changes to its parent image; open the parent instead";
    if (!detail.empty()) {
        TVhdiApi::Destroy(h);
        throw libyal::OpenFailure(format, path, detail);
    }
    return std::make_shared<libyal::TLibyalByteSource<TVhdiApi>>(h, size, path, format);
}

} // namespace brivo
