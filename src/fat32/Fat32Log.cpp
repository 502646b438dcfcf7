#include "fat32/Fat32Log.h"

#include <algorithm>
#include <charconv>
#include <system_error>

#include "core/ScanLog.h"
#include "fat32/FatDirEntry.h"

namespace brivo {

namespace {
constexpr size_t kFlushBytes = 256 * 1024;   // text appended to the file at a time
constexpr size_t kBlockBytes = 64 * 1024;    // records handed to the writer at a time
constexpr size_t kMaxQueuedBlocks = 64;      // the worker waits beyond this (4 MB of records)
constexpr size_t kRecordHead = sizeof(TDebugFormatter) + sizeof(uint64_t);

// A line handed over whole (SafeLog).
void FormatTextLine(TDebugLineWriter& w, TRecordReader& r) {
    w.BeginPlain() += r.Text();
    w.End();
}
const char* BoolText(bool b) { return b ? "True" : "False"; }

void AppendNum(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendQuoted(std::string& out, std::string_view s) {
    out += '"';
    out += s;
    out += '"';
}

void AppendRecordedPart(std::string& o, TRecordReader& r) {
    const size_t n = r.U8();
    const ByteSpan chars = r.Bytes(2 * n);
    std::u16string text(chars.size() / 2, u'\0');
    for (size_t k = 0; k < text.size(); ++k) text[k] = char16_t(chars[2 * k] | (chars[2 * k + 1] << 8));
    AppendUtf16AsUtf8(o, text);
}

void RecordPart(TRecordWriter& r, const TLfnPart& part) {
    r.U8(part.Length);
    for (size_t k = 0; k < part.Length; ++k) {
        r.U8(uint8_t(part.Chars[k]));
        r.U8(uint8_t(part.Chars[k] >> 8));
    }
}

void FormatLfnEntry(TDebugLineWriter& w, TRecordReader& r) {
    std::string& o = w.Begin();
    o += "lfn entry: parent=";
    AppendQuoted(o, r.Text());
    o += " idx=";
    AppendNum(o, int64_t(r.U64()));
    o += " off=";
    AppendNum(o, int64_t(r.U64()));
    const ByteSpan e = r.Bytes(kDirEntrySize);
    if (e.size() != kDirEntrySize) return w.End();
    o += " seq=";
    AppendHex2(o, e[0]);
    o += " seqnum=";
    AppendNum(o, e[0] & 0x1F);
    o += " chk=";
    AppendHex2(o, e[13]);
    o += " text=\"";
    AppendRecordedPart(o, r);
    o += "\" entry=";
    AppendHexBytes(o, e);
    w.End();
}

void FormatFileEntry(TDebugLineWriter& w, TRecordReader& r) {
    const std::string_view parent = r.Text();
    const int64_t index = int64_t(r.U64());
    const int64_t offset = int64_t(r.U64());
    const ByteSpan e = r.Bytes(kDirEntrySize);
    const std::string_view shortName = r.Text();
    const std::string_view chosen = r.Text();
    const bool validLfn = r.U8();
    const uint8_t wantSeq = r.U8();
    const uint8_t checksum = r.U8();
    const bool deletedSeen = r.U8();
    if (e.size() != kDirEntrySize) return;
    std::vector<TLfnPart> parts(size_t(std::min<uint64_t>(r.U64(), uint64_t{1} << 20)));
    for (auto& p : parts) {
        p.Length = std::min<uint8_t>(r.U8(), 13);
        for (size_t k = 0; k < p.Length; ++k) {
            const uint8_t lo = r.U8();
            const uint8_t hi = r.U8();
            p.Chars[k] = char16_t(lo | (hi << 8));
        }
    }
    std::string& o = w.Begin();
    o += "file entry: parent=";
    AppendQuoted(o, parent);
    o += " idx=";
    AppendNum(o, index);
    o += " off=";
    AppendNum(o, offset);
    o += " deleted=True short=";
    AppendQuoted(o, shortName);
    o += " chosen=";
    AppendQuoted(o, chosen);
    o += " valid_lfn=";
    o += BoolText(validLfn);
    o += " wantseq=";
    AppendNum(o, wantSeq);
    o += " raw_parts=";
    AppendNum(o, int64_t(parts.size()));
    o += " raw_lfn=\"";
    AppendRawParts(o, parts, false);
    o += "\" deleted_lfn=\"";
    AppendRawParts(o, parts, true);
    o += "\" deleted_marker=";
    o += BoolText(deletedSeen);
    o += " chk=";
    AppendHex2(o, checksum);
    o += " attr=";
    AppendHex2(o, e[11]);
    o += " start=";
    AppendNum(o, EntryStartCluster(e));
    o += " size=";
    AppendNum(o, ReadLe32(e, 28));
    o += " entry=";
    AppendHexBytes(o, e);
    w.End();
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string& p = w.Begin();
        p += "lfn raw part[";
        AppendNum(p, int64_t(k));
        p += "]: \"";
        AppendUtf16AsUtf8(p, parts[k].View());
        p += '"';
        w.End();
    }
}

} // namespace

std::string& TDebugLineWriter::BeginPlain() { return log_.pending_; }

std::string& TDebugLineWriter::Begin() {
    BeginPlain() += kFat32DebugPrefix;
    return log_.pending_;
}

void TDebugLineWriter::End() { log_.pending_ += "\r\n"; }

TFat32Log::TFat32Log(TReaderReport& report) : report_(report), debug_(report.DebugEnabled()) {
    recordWriter_.b_ = &block_;
    if (!debug_) return;
    pending_.reserve(kFlushBytes + 64 * 1024);
    block_.reserve(kBlockBytes + 4096);
    try {
        writer_ = std::thread([this] { WriterLoop(); });
    } catch (const std::system_error&) {
        // No thread to spare: the lines are formatted and written by the caller instead.
    }
}

TFat32Log::~TFat32Log() {
    if (writer_.joinable()) {
        HandOver();
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        wake_.notify_one();
        writer_.join();
    }
    WriteOut();
}

void TFat32Log::FormatBlock(const std::vector<uint8_t>& block) {
    size_t pos = 0;
    while (block.size() - pos >= kRecordHead) {
        TDebugFormatter format;
        uint64_t length;
        std::memcpy(&format, block.data() + pos, sizeof format);
        std::memcpy(&length, block.data() + pos + sizeof format, sizeof length);
        pos += kRecordHead;
        if (length > block.size() - pos) break;
        TRecordReader reader(ByteSpan(block.data() + pos, static_cast<size_t>(length)));
        pos += static_cast<size_t>(length);
        TDebugLineWriter w(*this);
        try {
            format(w, reader);
        } catch (...) {
            // A line that cannot be built (out of memory) is lost, like one that cannot be written.
        }
        if (pending_.size() >= kFlushBytes) WriteOut();
    }
}

void TFat32Log::WriteOut() {
    if (pending_.empty()) return;
    report_.DebugLogLines(pending_);
    pending_.clear();
}

void TFat32Log::WriterLoop() {
    std::vector<std::vector<uint8_t>> work;
    uint64_t formatted = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty() && stop_) break;
            work.swap(queue_);
        }
        drained_.notify_all();
        for (auto& block : work) FormatBlock(block);
        formatted += work.size();
        bool idle;
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (auto& block : work) {
                block.clear();
                spare_.push_back(std::move(block));
            }
            idle = queue_.empty();
        }
        work.clear();
        if (!idle) continue;
        // Nothing more waiting: put what is formatted in the file before reporting it written.
        WriteOut();
        {
            std::lock_guard<std::mutex> lock(mu_);
            written_ = formatted;
        }
        drained_.notify_all();
    }
    WriteOut();
}

void TFat32Log::HandOver() {
    if (block_.empty()) return;
    {
        std::unique_lock<std::mutex> lock(mu_);
        drained_.wait(lock, [this] { return queue_.size() < kMaxQueuedBlocks; });
        queue_.push_back(std::move(block_));
        ++submitted_;
        if (!spare_.empty()) {
            block_ = std::move(spare_.back());
            spare_.pop_back();
        } else {
            block_ = std::vector<uint8_t>();
        }
    }
    wake_.notify_one();
    if (block_.capacity() < kBlockBytes) block_.reserve(kBlockBytes + 4096);
}

TRecordWriter& TFat32Log::BeginRecord(TDebugFormatter format) {
    recordStart_ = block_.size();
    block_.resize(recordStart_ + kRecordHead);
    std::memcpy(block_.data() + recordStart_, &format, sizeof format);
    return recordWriter_;
}

void TFat32Log::EndRecord() {
    const uint64_t length = block_.size() - recordStart_ - kRecordHead;
    std::memcpy(block_.data() + recordStart_ + sizeof(TDebugFormatter), &length, sizeof length);
    if (!writer_.joinable()) {
        FormatBlock(block_);
        block_.clear();
        return;
    }
    if (block_.size() >= kBlockBytes) HandOver();
}

void TFat32Log::SafeLog(const std::string& text) {
    const bool debugLine = text.rfind(kFat32DebugPrefix, 0) == 0;
    if (debug_) {
        BeginRecord(FormatTextLine).Text(text);
        EndRecord();
        // A line the user sees goes to the file now, with everything before it.
        if (!debugLine) {
            if (writer_.joinable())
                HandOver();
            else
                WriteOut();
        }
    }
    if (!debugLine) report_.Log(text);
}

void TFat32Log::SafeProgress(uint64_t position, uint64_t max, const std::string& statusText) {
    report_.Progress(position, max, statusText);
}

void TFat32Log::Flush() {
    if (!writer_.joinable()) {
        WriteOut();
        return;
    }
    HandOver();
    std::unique_lock<std::mutex> lock(mu_);
    drained_.wait(lock, [this] { return written_ == submitted_; });
}

// The lines written for every deleted entry are most of the debug log. The walk records
// only what they show; the writer thread builds the text.
void LogLfnEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                 const TLfnPart& part) {
    TRecordWriter& r = log.BeginRecord(FormatLfnEntry);
    r.Text(parentPath);
    r.U64(index);
    r.U64(uint64_t(entryOffset));
    r.Bytes(e);
    RecordPart(r, part);
    log.EndRecord();
}

void LogFileEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                  const TFatLongNameState& ln, const TResolvedName& name) {
    TRecordWriter& r = log.BeginRecord(FormatFileEntry);
    r.Text(parentPath);
    r.U64(index);
    r.U64(uint64_t(entryOffset));
    r.Bytes(e);
    r.Text(name.Short);
    r.Text(name.Name);
    r.U8(name.ValidLfn);
    r.U8(ln.WantSeq);
    r.U8(ln.ExpectedChecksum);
    r.U8(ln.DeletedLfnSeen);
    r.U64(ln.RawParts.size());
    for (const auto& p : ln.RawParts) RecordPart(r, p);
    log.EndRecord();
}

} // namespace brivo
