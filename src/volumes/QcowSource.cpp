#include <libqcow.h>

#include "volumes/ContainerSource.h"
#include "volumes/LibyalSource.h"

namespace brivo {

namespace {

struct TQcowApi {
    using Handle = libqcow_file_t;
    using Error = libqcow_error_t;
    static ssize_t Read(Handle* h, void* buf, size_t n, int64_t off, Error** e) {
        return libqcow_file_read_buffer_at_offset(h, buf, n, off, e);
    }
    static std::string ErrorText(Error*& e) { return libyal::TakeErrorText(e, libqcow_error_sprint, libqcow_error_free); }
    static void Destroy(Handle*& h) {
        if (h == nullptr) return;
        libqcow_file_close(h, nullptr);
        libqcow_file_free(&h, nullptr);
    }
};

} // namespace

TByteSourcePtr OpenQcowByteSource(const std::string& path, const std::string& format) {
    libqcow_error_t* error = nullptr;
    libqcow_file_t* h = nullptr;
    if (libqcow_file_initialize(&h, &error) != 1) throw libyal::OpenFailure(format, path, TQcowApi::ErrorText(error));
    if (libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
        const std::string detail = TQcowApi::ErrorText(error);
        libqcow_file_free(&h, nullptr);
        throw libyal::OpenFailure(format, path, detail);
    }
    size64_t size = 0;
    std::string detail;
    if (libqcow_file_get_media_size(h, &size, &error) != 1) detail = TQcowApi::ErrorText(error);
    else if (libqcow_file_is_locked(h, &error) == 1) detail = "it is encrypted";
    if (!detail.empty()) {
        TQcowApi::Destroy(h);
        throw libyal::OpenFailure(format, path, detail);
    }
    return std::make_shared<libyal::TLibyalByteSource<TQcowApi>>(h, size, path, format);
}

} // namespace brivo
