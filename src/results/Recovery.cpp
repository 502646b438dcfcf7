#include "results/Recovery.h"

#include <cmath>
#include <stdexcept>

#include "core/Text.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "core/ResilientSource.h"
#include "platform/DateTime.h"
#include "results/RecoveryOutput.h"
#include "results/RecoverySink.h"

namespace brivo {

namespace {

std::string TrimControl(const std::string& s) { return std::string(TrimView(s)); }

// Characters Windows refuses in a name; kept out so that a recovered tree can be copied
// back to the volume it came from.
bool IsReplacedChar(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
           c == '|';
}

// Passes the bytes on and learns, from the watch on this thread, which of them are zeros
// for want of the real ones. Without keepDamaged the first such byte ends the file.
class TDamageTrackingSink final : public TByteSink {
public:
    TDamageTrackingSink(TByteSink& next, TUnreadableWatch& watch, bool keepDamaged)
        : next_(next), watch_(watch), keep_(keepDamaged) {}
    void Write(std::span<const uint8_t> bytes) override {
        const std::vector<TByteRange> hits = watch_.TakeWithin(bytes);
        if (!hits.empty() && !keep_) throw TUnreadablePartsError(watch_.FirstMessage());
        for (const TByteRange& h : hits) {
            if (!unreadable_.empty() && unreadable_.back().End() == pos_ + h.Offset)
                unreadable_.back().Length += h.Length;
            else
                unreadable_.push_back({pos_ + h.Offset, h.Length});
        }
        next_.Write(bytes);
        pos_ += bytes.size();
    }
    std::vector<TByteRange> Take() { return std::move(unreadable_); }

private:
    TByteSink& next_;
    TUnreadableWatch& watch_;
    bool keep_;
    uint64_t pos_ = 0;
    std::vector<TByteRange> unreadable_;
};

} // namespace

std::string RecoveryRelativePath(const std::string& fullPath) {
    const std::string t = TrimControl(fullPath);
    std::string out;
    std::string comp;
    auto flush = [&] {
        if (comp.empty() || comp == ".") {
            // "a//b" and "a/./b" name the same place as "a/b".
        } else {
            if (comp == "..") comp = "_";
            if (!out.empty()) out += '/';
            out += comp;
        }
        comp.clear();
    };
    for (char c : t) {
        if (c == '/' || c == '\\') {
            flush();
        } else {
            comp += IsReplacedChar(static_cast<unsigned char>(c)) ? '_' : c;
        }
    }
    flush();
    return out.empty() ? "recovered.bin" : out;
}

bool CheckRecoveryPreconditions(const TScanState& state, TScanHost& host, int checkedCount) {
    if (checkedCount == 0) {
        host.ShowWarning(host.Translate("Please mark at least one file for recovery."));
        return false;
    }
    if (TrimControl(state.FLastSrcForFls).empty()) {
        host.ShowWarning(host.Translate("Please run Scan first."));
        return false;
    }
    return true;
}

std::optional<timespec> RecoveryTimeOf(const TFoundFile& f) {
    if (!f.HasModDate || !std::isfinite(f.ModDateUtc)) return std::nullopt;
    const double seconds = (f.ModDateUtc - static_cast<double>(kUnixEpochDay)) * 86400.0;
    // Years 1601..30827, what a FILETIME can hold; anything else is a broken stamp.
    if (seconds < -11644473600.0 || seconds > 910692730085.0) return std::nullopt;
    // To the microsecond: a stamp meant as a whole second must not land just before it.
    const long long micros = std::llround(seconds * 1e6);
    long long secs = micros / 1000000;
    long long rest = micros % 1000000;
    if (rest < 0) {
        rest += 1000000;
        --secs;
    }
    const long long nanos = rest * 1000;
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(secs);
    ts.tv_nsec = static_cast<long>(nanos);
    return ts;
}

TRecoveredFile RecoverOne(TScanState& state, TScanHost& host, TExtractor& extractor, const TFoundFile& f,
                          const std::string& folder, const TRecoverOneOptions& options) {
    const std::string source = TrimControl(state.FLastSrcForFls);
    if (source.empty()) throw std::runtime_error(host.Translate("Nothing to recover: please run Scan first."));

    // A name whose content nothing places would be copied as an empty file: say where the
    // content may be instead.
    if (!f.Candidates.empty())
        throw std::runtime_error(host.Translate(
            "Only the name is left: nothing says where its content is. Recover the files of its kind found in the same area instead."));

    const std::string relative = RecoveryRelativePath(f.FullPath);

    Log(host, "Recovering: " + f.FullPath);

    TRecoveryTarget target(folder, relative, options.Folders);
    TRecoveryFileSink sink(target.Fd(), target.FinalPath(), &state.FStopRequested, options.OnBytes, {}, options.Hash);
    TUnreadableWatch watch;
    TDamageTrackingSink tracked(sink, watch, options.KeepDamaged);
    extractor.Extract(f, tracked);
    // Zeros the extractor did not pass on as read (decompressed, say) still spoil the file.
    if (watch.Any() && !options.KeepDamaged) throw TUnreadablePartsError(watch.FirstMessage());
    sink.Finish();

    TRecoveredFile out;
    out.Damaged = watch.Any();
    out.Unreadable = tracked.Take();
    out.Size = sink.Size();
    out.Sha256 = sink.Sha256Hex();
    out.OutputPath = target.Commit(RecoveryTimeOf(f));
    out.NameShortened = target.NameShortened();
    if (out.NameShortened)
        Log(host, "Saved as: " + out.OutputPath + " (name shortened: Linux allows 255 bytes in a name)");
    else if (out.OutputPath != target.WantedPath())
        Log(host, "Saved as: " + out.OutputPath);
    if (out.Damaged) {
        uint64_t missing = 0;
        for (const TByteRange& r : out.Unreadable) missing += r.Length;
        Log(host, Format("Kept with unreadable parts: %s (%d bytes are zeros)", {out.OutputPath, missing}));
    }
    return out;
}

} // namespace brivo
