#include "results/Preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string_view>

#include "core/ResilientSource.h"
#include "core/Text.h"
#include "platform/CodePages.h"

namespace brivo {

namespace {

// Enough of a file's start to tell a picture by its signature (a BMP's needs 27 bytes).
constexpr size_t kSignatureBytes = 32;

// Keeps the first cap bytes (pictureCap once the first bytes show a picture) and then
// stops the extraction; learns from the watch on this thread which bytes are zeros for
// want of the real ones.
class TPreviewSink : public TByteSink {
public:
    TPreviewSink(std::vector<uint8_t>& out, size_t cap, size_t pictureCap, const std::function<bool()>& stop,
                 TUnreadableWatch& watch, std::vector<TByteRange>& unreadable)
        : out_(out), cap_(cap), pictureCap_(pictureCap), stop_(stop), watch_(watch), unreadable_(unreadable) {}
    void Write(std::span<const uint8_t> bytes) override {
        if (stop_ && stop_()) throw TExtractionStopped();
        if (!decided_ && out_.size() + bytes.size() >= kSignatureBytes) {
            decided_ = true;
            std::vector<uint8_t> head(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(std::min(out_.size(), kSignatureBytes)));
            head.insert(head.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(kSignatureBytes - head.size()));
            if (LooksLikeImage(head)) cap_ = std::max(cap_, pictureCap_);
        }
        for (const TByteRange& h : watch_.TakeWithin(bytes)) {
            const uint64_t at = out_.size() + h.Offset;
            if (at >= cap_) break;
            const uint64_t length = std::min<uint64_t>(h.Length, cap_ - at);
            if (!unreadable_.empty() && unreadable_.back().End() == at)
                unreadable_.back().Length += length;
            else
                unreadable_.push_back({at, length});
        }
        const size_t room = cap_ - out_.size();
        const size_t take = std::min(room, bytes.size());
        out_.insert(out_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        if (take < bytes.size()) {
            truncated = true;
            throw TExtractionStopped();
        }
        if (out_.size() == cap_) full = true;
    }
    size_t Cap() const { return cap_; }
    bool truncated = false;
    bool full = false;  // at the cap; whether more follows is unknown

private:
    std::vector<uint8_t>& out_;
    size_t cap_;
    size_t pictureCap_;
    const std::function<bool()>& stop_;
    TUnreadableWatch& watch_;
    std::vector<TByteRange>& unreadable_;
    bool decided_ = false;
};

bool StartsWith(const std::vector<uint8_t>& b, std::string_view sig, size_t at = 0) {
    return b.size() >= at + sig.size() && std::memcmp(b.data() + at, sig.data(), sig.size()) == 0;
}

// Whether the code points of a decoded text look like text: few control characters.
bool ReadsAsText(std::string_view utf8) {
    size_t controls = 0, total = 0;
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp = 0;
        const size_t n = DecodeUtf8At(utf8, i, cp);
        i += n ? n : 1;
        ++total;
        if (n == 0) continue;  // a sequence cut off by the cap
        if (cp == 0) return false;
        if (cp < 0x20 && cp != '\n' && cp != '\r' && cp != '\t' && cp != '\f') ++controls;
    }
    return controls * 50 <= total;  // at most 2%
}

// Valid UTF-8 up to a sequence the cap may have cut at the very end.
bool IsUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            ++i;
            continue;
        }
        const size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
        if (len == 0) return false;
        if (i + len > s.size()) {  // cut at the end: the bytes there must still fit
            for (size_t k = i + 1; k < s.size(); ++k)
                if ((static_cast<unsigned char>(s[k]) & 0xC0) != 0x80) return false;
            return true;
        }
        char32_t cp = 0;
        if (DecodeUtf8At(s, i, cp) != len) return false;
        i += len;
    }
    return true;
}

} // namespace

TPreviewBytes ReadPreviewBytes(TExtractor& extractor, const TFoundFile& f, size_t cap,
                               const std::function<bool()>& stop, size_t pictureCap) {
    TPreviewBytes out;
    out.Bytes.reserve(std::min<size_t>(cap, 64 * 1024));
    TUnreadableWatch watch;
    TPreviewSink sink(out.Bytes, cap, pictureCap, stop, watch, out.Unreadable);
    try {
        extractor.Extract(f, sink);
    } catch (const TExtractionStopped&) {
        // Enough bytes, or a newer request: what was read is the preview.
    } catch (const std::exception& e) {
        out.Error = e.what();
    }
    if (watch.Any()) out.UnreadableMessage = watch.FirstMessage();
    out.Cap = sink.Cap();
    out.Truncated = sink.truncated || (sink.full && f.SizeBytes > static_cast<int64_t>(out.Cap));
    return out;
}

std::string ByteRangesText(const std::vector<TByteRange>& ranges, size_t maxShown) {
    std::string out;
    for (size_t i = 0; i < ranges.size() && i < maxShown; ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(ranges[i].Offset) + "-" + std::to_string(ranges[i].End() - 1);
    }
    if (ranges.size() > maxShown) out += ", ...";
    return out;
}

bool LooksLikeImage(const std::vector<uint8_t>& b) {
    return StartsWith(b, "\x89PNG\r\n\x1a\n") || StartsWith(b, "\xFF\xD8\xFF") || StartsWith(b, "GIF87a") ||
           StartsWith(b, "GIF89a") || (StartsWith(b, "BM") && b.size() > 26) ||
           (StartsWith(b, "RIFF") && StartsWith(b, "WEBP", 8)) || StartsWith(b, std::string_view("II*\0", 4)) ||
           StartsWith(b, std::string_view("MM\0*", 4)) || StartsWith(b, std::string_view("\0\0\1\0", 4));
}

bool PreviewText(const std::vector<uint8_t>& b, std::string& text) {
    text.clear();
    const std::span<const uint8_t> all(b.data(), b.size());
    if (StartsWith(b, "\xFF\xFE") || StartsWith(b, "\xFE\xFF")) {
        const bool be = b[0] == 0xFE;
        std::vector<uint8_t> le(b.begin() + 2, b.end());
        if (be)
            for (size_t i = 0; i + 1 < le.size(); i += 2) std::swap(le[i], le[i + 1]);
        text = Utf16LeToUtf8(std::span<const uint8_t>(le.data(), le.size()), 0, le.size() / 2);
        return ReadsAsText(text);
    }
    std::string_view raw(reinterpret_cast<const char*>(all.data()), all.size());
    if (raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    if (IsUtf8(raw)) {
        text.assign(raw);
        return ReadsAsText(text);
    }
    text = DecodeCodePage(raw, AnsiCodePage());
    return ReadsAsText(text);
}

TPreviewKind ClassifyPreview(const std::vector<uint8_t>& bytes) {
    if (LooksLikeImage(bytes)) return TPreviewKind::Image;
    std::string text;
    if (!bytes.empty() && PreviewText(bytes, text)) return TPreviewKind::Text;
    return TPreviewKind::Hex;
}

std::string HexDump(const std::vector<uint8_t>& bytes, size_t maxBytes) {
    const size_t n = std::min(bytes.size(), maxBytes);
    std::string out;
    out.reserve(n / 16 * 78 + 80);
    char buf[32];
    for (size_t row = 0; row < n; row += 16) {
        std::snprintf(buf, sizeof buf, "%08zx  ", row);
        out += buf;
        for (size_t k = 0; k < 16; ++k) {
            if (row + k < n) {
                std::snprintf(buf, sizeof buf, "%02x ", bytes[row + k]);
                out += buf;
            } else {
                out += "   ";
            }
            if (k == 7) out += ' ';
        }
        out += " |";
        for (size_t k = 0; k < 16 && row + k < n; ++k) {
            const uint8_t c = bytes[row + k];
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        out += "|\n";
    }
    return out;
}

TPreviewLoader::TPreviewLoader(Done done, size_t cap, size_t pictureCap)
    : done_(std::move(done)), cap_(cap), pictureCap_(pictureCap) {
    thread_ = std::thread([this] { Run(); });
}

TPreviewLoader::~TPreviewLoader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        pending_ = false;
    }
    wake_.notify_all();
    thread_.join();
}

uint64_t TPreviewLoader::Request(MakeExtractor make, const TFoundFile& f) {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ticket = ++latest_;
        make_ = std::move(make);
        file_ = f;
        pending_ = true;
    }
    wake_.notify_all();
    return ticket;
}

uint64_t TPreviewLoader::Cancel() {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_ = false;
    make_ = nullptr;
    return ++latest_;
}

uint64_t TPreviewLoader::LatestTicket() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

void TPreviewLoader::Run() {
    for (;;) {
        MakeExtractor make;
        TFoundFile file;
        uint64_t ticket = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return quit_ || pending_; });
            if (quit_) return;
            make = std::move(make_);
            make_ = nullptr;
            file = std::move(file_);
            ticket = latest_;
            pending_ = false;
        }
        // A newer request or closing ends this read at its next chunk.
        const std::function<bool()> superseded = [this, ticket] {
            std::lock_guard<std::mutex> lock(mutex_);
            return quit_ || latest_ != ticket;
        };
        TPreviewBytes bytes;
        try {
            std::unique_ptr<TExtractor> extractor = make ? make() : nullptr;
            if (extractor)
                bytes = ReadPreviewBytes(*extractor, file, cap_, superseded, pictureCap_);
            else
                bytes.Error = "no extractor";
        } catch (const std::exception& e) {
            bytes.Error = e.what();
        }
        if (!superseded()) done_(ticket, std::move(bytes));
    }
}

} // namespace brivo
