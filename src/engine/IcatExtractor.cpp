#include "engine/IcatExtractor.h"

#include <stdexcept>

#include "core/Text.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"

namespace brivo {

namespace {

std::string TrimControl(const std::string& s) { return std::string(TrimView(s)); }

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

class TIcatExtractor : public TExtractor {
public:
    TIcatExtractor(TEngineContext& ctx, TScanHost& host, TIcatSource source)
        : ctx_(ctx), host_(host), source_(std::move(source)) {}

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        const std::string address = CleanMetaAddress(f.Inode);
        if (!IsValidMetaAddress(address))
            throw std::runtime_error(
                Format(host_.Translate("Invalid inode/meta value parsed: \"%s\" (path: %s)"), {address, f.FullPath}));
        const TToolCommand cmd = BuildIcatCommand(RequireTool(ctx_, host_, "icat"), source_, address);
        Log(host_, "> " + cmd.Display());
        const TChildEnd end = ctx_.FRunner.RunStreaming(cmd.Program, cmd.Args,
                                                        [&](std::span<const uint8_t> bytes) { sink.Write(bytes); });
        if (end.Stopped) throw TExtractionStopped();
        const std::string failure = TTSKRunner::FailureMessage(end);
        if (!failure.empty()) throw std::runtime_error(failure);
    }

private:
    TEngineContext& ctx_;
    TScanHost& host_;
    TIcatSource source_;
};

} // namespace

std::string CleanMetaAddress(const std::string& inode) {
    std::string t = TrimControl(inode);
    std::string out;
    out.reserve(t.size());
    for (char c : t) {
        if (c == '*') continue;
        out += c == '\t' ? ' ' : c;
    }
    return TrimControl(out);
}

bool IsValidMetaAddress(const std::string& text) {
    const std::string t = TrimControl(text);
    if (t.empty() || EqualsNoCase(t, "(deleted)")) return false;
    // ^\d+(-\d+(-\d+)?)?$ over ASCII digits.
    int groups = 0;
    size_t i = 0;
    for (;;) {
        const size_t start = i;
        while (i < t.size() && IsAsciiDigit(t[i])) ++i;
        if (i == start) return false;
        ++groups;
        if (i == t.size()) return true;
        if (t[i] != '-' || groups == 3) return false;
        ++i;
    }
}

TIcatSource IcatSourceOf(const TScanState& state) {
    TIcatSource s;
    s.Source = TrimControl(state.FLastSrcForFls);
    s.FsSwitch = state.FLastFsSwitch;
    s.ImageType = state.FLastImageType;
    s.SectorOffset = state.FLastSectorOffset;
    return s;
}

TToolCommand BuildIcatCommand(const std::string& icatPath, const TIcatSource& source, const std::string& address) {
    TToolCommand cmd;
    cmd.Program = icatPath;
    cmd.AddWords(source.FsSwitch);
    for (const std::string& a : EngineVolumeArgs(source.ImageType, source.SectorOffset)) cmd.Add(a);
    cmd.Add("-R").AddPath(source.Source).Add(address);
    return cmd;
}

std::unique_ptr<TExtractor> MakeIcatExtractor(TEngineContext& ctx, TScanHost& host, TIcatSource source) {
    return std::make_unique<TIcatExtractor>(ctx, host, std::move(source));
}

} // namespace brivo
