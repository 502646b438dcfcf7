#pragma once
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ReaderReport.h"
#include "fat32/FatLongName.h"

namespace brivo {

class TFat32Log;

// Where deferred debug lines are written: Begin appends "FAT32 DBG ", the formatter
// appends the rest of the line, End closes it. The report stamps the lines.
class TDebugLineWriter {
public:
    std::string& Begin();
    // Nothing yet, for a line that carries its own text.
    std::string& BeginPlain();
    void End();

private:
    friend class TFat32Log;
    explicit TDebugLineWriter(TFat32Log& log) : log_(log) {}
    TFat32Log& log_;
};

// Reads back what a record's producer put in it, in the same order.
class TRecordReader {
public:
    explicit TRecordReader(ByteSpan bytes) : b_(bytes) {}
    uint8_t U8() { return Take(1) ? b_[pos_ - 1] : 0; }
    uint64_t U64() {
        uint64_t v = 0;
        if (Take(8)) std::memcpy(&v, b_.data() + pos_ - 8, 8);
        return v;
    }
    ByteSpan Bytes(size_t n) { return Take(n) ? b_.subspan(pos_ - n, n) : ByteSpan(); }
    std::string_view Text() {
        const size_t n = static_cast<size_t>(U64());
        const ByteSpan s = Bytes(n);
        return {reinterpret_cast<const char*>(s.data()), s.size()};
    }

private:
    bool Take(size_t n) {
        if (b_.size() - pos_ < n) return false;
        pos_ += n;
        return true;
    }
    ByteSpan b_;
    size_t pos_ = 0;
};

// Turns one record into its debug line(s). A plain function: records carry no objects.
using TDebugFormatter = void (*)(TDebugLineWriter&, TRecordReader&);

// Appends one record's payload.
class TRecordWriter {
public:
    void U8(uint8_t v) { b_->push_back(v); }
    void U64(uint64_t v) {
        const size_t at = b_->size();
        b_->resize(at + 8);
        std::memcpy(b_->data() + at, &v, 8);
    }
    void Bytes(ByteSpan s) { b_->insert(b_->end(), s.begin(), s.end()); }
    void Text(std::string_view s) {
        U64(s.size());
        b_->insert(b_->end(), s.begin(), s.end());
    }

private:
    friend class TFat32Log;
    std::vector<uint8_t>* b_ = nullptr;
};

// The FAT32 scan's log, progress and Stop, over the reader's report. Every line goes to
// the debug log; "FAT32 DBG " lines stop there, any other line also goes to the report's
// Log.
//
// A deleted-heavy volume yields tens of thousands of debug lines (several per deleted
// entry, with the entry's bytes in hexadecimal), and building them costs as much as the
// walk itself. So the scan only records what a line shows, as compact records in large
// blocks, and a writer thread of this log formats them and appends the text in large
// blocks instead of one append per line. The debug log keeps the order in which the scan
// produced its lines; Flush and the destructor wait until all of them are handed over.
class TFat32Log {
public:
    explicit TFat32Log(TReaderReport& report);
    ~TFat32Log();
    TFat32Log(const TFat32Log&) = delete;
    TFat32Log& operator=(const TFat32Log&) = delete;

    // False when the report keeps no debug log: callers skip building debug lines.
    bool DebugEnabled() const { return debug_; }
    bool StopRequested() const { return report_.StopRequested(); }

    void SafeLog(const std::string& text);
    // A deferred debug record: fill the payload through the returned writer, then call
    // EndRecord; `format` builds the line(s) from it later. Only while DebugEnabled().
    TRecordWriter& BeginRecord(TDebugFormatter format);
    void EndRecord();
    void SafeProgress(uint64_t position, uint64_t max, const std::string& statusText);
    std::string Translate(const std::string& text) { return report_.Translate(text); }
    // Returns once every line handed over so far is in the file.
    void Flush();

private:
    friend class TDebugLineWriter;

    void HandOver();
    void FormatBlock(const std::vector<uint8_t>& block);
    void WriteOut();
    void WriterLoop();

    TReaderReport& report_;
    bool debug_ = false;

    // Worker side: records not yet handed to the writer.
    std::vector<uint8_t> block_;
    size_t recordStart_ = 0;
    TRecordWriter recordWriter_;

    // Shared with the writer thread.
    std::mutex mu_;
    std::condition_variable wake_;     // writer: blocks or stop
    std::condition_variable drained_;  // worker: room in the queue, or all written
    std::vector<std::vector<uint8_t>> queue_;
    std::vector<std::vector<uint8_t>> spare_;  // emptied blocks, reused
    uint64_t submitted_ = 0;
    uint64_t written_ = 0;
    bool stop_ = false;
    std::thread writer_;

    // Writer side (the worker's own when there is no writer thread).
    std::string pending_;
};

// The debug records of the directory walk: one long-name entry, and one short entry of a
// deleted directory or a deleted file with the long-name parts met before it.
void LogLfnEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                 const TLfnPart& part);
void LogFileEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                  const TFatLongNameState& ln, const TResolvedName& name);

} // namespace brivo
