#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

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
