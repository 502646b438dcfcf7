#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/ResilientSource.h"
#include "results/Preview.h"

namespace brivo {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// Hands out the content of f.Inode in chunks; "fail" raises after the first chunk.
class TFakeExtractor : public TExtractor {
public:
    explicit TFakeExtractor(size_t chunk = 4) : chunk_(chunk) {}
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        const std::string& s = f.Inode;
        for (size_t i = 0; i < s.size(); i += chunk_) {
            const std::string_view part = std::string_view(s).substr(i, chunk_);
            sink.Write(std::span(reinterpret_cast<const uint8_t*>(part.data()), part.size()));
            if (f.FullPath == "fail") throw std::runtime_error("Read error at sector 9");
        }
    }
    size_t chunk_;
};

TFoundFile File(std::string content, std::string path = "/f") {
    TFoundFile f;
    f.SizeBytes = static_cast<int64_t>(content.size());
    f.Inode = std::move(content);
    f.FullPath = std::move(path);
    return f;
}

TEST(PreviewRead, StopsAtTheCapAndKeepsBytesBeforeAnError) {
    TFakeExtractor x;
    TPreviewBytes all = ReadPreviewBytes(x, File("0123456789"), 100);
    EXPECT_EQ(all.Bytes, Bytes("0123456789"));
    EXPECT_FALSE(all.Truncated);
    TPreviewBytes capped = ReadPreviewBytes(x, File("0123456789"), 6);
    EXPECT_EQ(capped.Bytes, Bytes("012345"));
    EXPECT_TRUE(capped.Truncated);
    EXPECT_TRUE(capped.Error.empty());
    TPreviewBytes exact = ReadPreviewBytes(x, File("01234567"), 8);  // cap on a chunk's end
    EXPECT_TRUE(exact.Truncated == false && exact.Bytes.size() == 8);
    TPreviewBytes bad = ReadPreviewBytes(x, File("0123456789", "fail"), 100);
    EXPECT_EQ(bad.Bytes, Bytes("0123"));
    EXPECT_EQ(bad.Error, "Read error at sector 9");
}

// A picture is read whole up to its own, larger cap (a cut one cannot be drawn whole);
// anything else stops at the common cap.
TEST(PreviewRead, PicturesGetTheirOwnCap) {
    TFakeExtractor x(1000);
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, 'p');
    const std::string jpeg = std::string("\xFF\xD8\xFF\xE0", 4) + std::string(5000, 'j');
    const std::string text(5008, 't');
    for (const std::string& pic : {png, jpeg}) {
        TPreviewBytes whole = ReadPreviewBytes(x, File(pic), 1024, {}, 8192);
        EXPECT_EQ(whole.Bytes.size(), pic.size());
        EXPECT_FALSE(whole.Truncated);
        TPreviewBytes bounded = ReadPreviewBytes(x, File(pic), 1024, {}, 4096);
        EXPECT_EQ(bounded.Bytes.size(), 4096u);
        EXPECT_TRUE(bounded.Truncated);
        EXPECT_EQ(bounded.Cap, 4096u);
    }
    TPreviewBytes plain = ReadPreviewBytes(x, File(text), 1024, {}, 8192);
    EXPECT_EQ(plain.Bytes.size(), 1024u);
    EXPECT_TRUE(plain.Truncated);
    EXPECT_EQ(plain.Cap, 1024u);
    // Tiny chunks: the signature is told once enough of it has come.
    TFakeExtractor small(3);
    EXPECT_EQ(ReadPreviewBytes(small, File(png), 1024, {}, 8192).Bytes.size(), png.size());
}

// Zeros a resilient read put in for unreadable sectors are named, as offsets in the file.
TEST(PreviewRead, NamesTheBytesTheDiskCouldNotGive) {
    class TBadSectorExtractor : public TExtractor {
    public:
        void Extract(const TFoundFile&, TByteSink& sink) override {
            uint8_t a[8] = {'a', 'b', 0, 0, 0, 0, 'g', 'h'};
            TUnreadableWatch::Note(a + 2, 4, 10240, "Cannot read disk at byte 10240: Input/output error");
            sink.Write(a);
            uint8_t b[4] = {0, 0, 'k', 'l'};
            TUnreadableWatch::Note(b, 2, 20480, "Cannot read disk at byte 20480: Input/output error");
            sink.Write(b);
        }
    } x;
    TPreviewBytes p = ReadPreviewBytes(x, File("ignored"), 100);
    EXPECT_EQ(p.Bytes.size(), 12u);
    EXPECT_TRUE(p.Error.empty());
    EXPECT_EQ(p.Unreadable, (std::vector<TByteRange>{{2, 4}, {8, 2}}));
    EXPECT_EQ(p.UnreadableMessage, "Cannot read disk at byte 10240: Input/output error");
    EXPECT_EQ(ByteRangesText(p.Unreadable), "2-5, 8-9");
    EXPECT_EQ(ByteRangesText({{0, 1}, {2, 1}, {4, 1}}, 2), "0-0, 2-2, ...");
    // Bytes past the cap are not named.
    EXPECT_EQ(ReadPreviewBytes(x, File("ignored"), 4).Unreadable, (std::vector<TByteRange>{{2, 2}}));
}

TEST(PreviewKind, ImagesTextsInEveryEncodingAndBinary) {
    const struct {
        std::string bytes;
        TPreviewKind kind;
        std::string text;  // expected text for Text
    } cases[] = {
        {"\x89PNG\r\n\x1a\n....", TPreviewKind::Image, ""},
        {"\xFF\xD8\xFF\xE0..JFIF", TPreviewKind::Image, ""},
        {"GIF89a....", TPreviewKind::Image, ""},
        {"plain words\nand a line\n", TPreviewKind::Text, "plain words\nand a line\n"},
        {"\xEF\xBB\xBFStra\xC3\x9F" "e", TPreviewKind::Text, "Stra\xC3\x9F" "e"},
        {"caf\xC3", TPreviewKind::Text, "caf\xC3"},  // a sequence the cap cut off
        {std::string("\xFF\xFEH\0i\0\xAC\x20", 8), TPreviewKind::Text, "Hi\xE2\x82\xAC"},   // UTF-16 LE
        {std::string("\xFE\xFF\0H\0i", 6), TPreviewKind::Text, "Hi"},                      // UTF-16 BE
        {"Gr\xFC\xDF" "e aus K\xF6ln", TPreviewKind::Text, "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"},  // code page
        {std::string("MZ\x90\0\x03\0\0\0", 8), TPreviewKind::Hex, ""},
        {"\x01\x02\x03\x04\x05text", TPreviewKind::Hex, ""},
        {"", TPreviewKind::Hex, ""},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> b = Bytes(c.bytes);
        EXPECT_EQ(ClassifyPreview(b), c.kind) << c.bytes;
        if (c.kind == TPreviewKind::Text) {
            std::string text;
            ASSERT_TRUE(PreviewText(b, text)) << c.bytes;
            EXPECT_EQ(text, c.text);
        }
    }
}

TEST(PreviewKind, HexDumpLines) {
    std::vector<uint8_t> b = Bytes("Hello, hex dump!\x01\xFF");
    EXPECT_EQ(HexDump(b),
              "00000000  48 65 6c 6c 6f 2c 20 68  65 78 20 64 75 6d 70 21  |Hello, hex dump!|\n"
              "00000010  01 ff                                             |..|\n");
    EXPECT_EQ(HexDump(b, 4), "00000000  48 65 6c 6c                                       |Hell|\n");
}

// Blocks inside Extract until released, so a second request arrives mid-read.
class TGateExtractor : public TExtractor {
public:
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> started{0};
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        ++started;
        for (int i = 0; i < 1000; ++i) {
            {
                std::unique_lock<std::mutex> lock(m);
                cv.wait_for(lock, std::chrono::milliseconds(2), [this] { return open; });
            }
            sink.Write(std::span(reinterpret_cast<const uint8_t*>(f.Inode.data()), f.Inode.size()));
        }
    }
};

TEST(PreviewLoader, ANewerRequestSupersedesAndClosingJoins) {
    auto gate = std::make_shared<TGateExtractor>();
    std::mutex m;
    std::vector<std::pair<uint64_t, std::string>> done;
    {
        TPreviewLoader loader(
            [&](uint64_t ticket, TPreviewBytes b) {
                std::lock_guard<std::mutex> lock(m);
                done.emplace_back(ticket, std::string(b.Bytes.begin(), b.Bytes.begin() + std::min<size_t>(b.Bytes.size(), 1)));
            },
            64);
        struct TShared : TExtractor {
            std::shared_ptr<TGateExtractor> g;
            void Extract(const TFoundFile& f, TByteSink& s) override { g->Extract(f, s); }
        };
        auto make = [gate] {
            auto x = std::make_unique<TShared>();
            x->g = gate;
            return std::unique_ptr<TExtractor>(std::move(x));
        };
        loader.Request(make, File("a"));
        while (gate->started == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint64_t second = loader.Request(make, File("b"));
        {
            std::lock_guard<std::mutex> lock(gate->m);
            gate->open = true;
        }
        gate->cv.notify_all();
        for (int i = 0; i < 2000; ++i) {
            {
                std::lock_guard<std::mutex> lock(m);
                if (!done.empty()) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(done.size(), 1u);  // the first read was dropped, not delivered
        EXPECT_EQ(done[0], std::make_pair(second, std::string("b")));
        // A request still running when the loader goes is stopped and joined.
        gate->open = false;
    }
    auto slow = std::make_unique<TPreviewLoader>([](uint64_t, TPreviewBytes) {}, 1 << 20);
    slow->Request([] { return std::unique_ptr<TExtractor>(std::make_unique<TGateExtractor>()); }, File("c"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto t0 = std::chrono::steady_clock::now();
    slow.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

} // namespace
} // namespace brivo
