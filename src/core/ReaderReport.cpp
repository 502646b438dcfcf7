#include "core/ReaderReport.h"

#include "core/ScanHost.h"
#include "core/ScanLog.h"
#include "core/ScanState.h"

namespace brivo {

void TReaderReport::DebugLogLines(const std::string& lines) {
    size_t pos = 0;
    while (pos < lines.size()) {
        size_t end = lines.find("\r\n", pos);
        if (end == std::string::npos) end = lines.size();
        DebugLog(lines.substr(pos, end - pos));
        pos = end + 2;
    }
}

void THostReport::Log(const std::string& msg) { SafeLog(host_, msg); }

void THostReport::DebugLog(const std::string& line) { AppendDebugLogLine(host_.DebugLogPath(), FormatLogLine(line)); }

void THostReport::DebugLogLines(const std::string& lines) {
    const std::string path = host_.DebugLogPath();
    if (path.empty() || lines.empty()) return;
    // One clock reading and one append for the whole block.
    const std::string stamp = FormatLogLine("");
    std::string out;
    out.reserve(lines.size() + lines.size() / 8);
    size_t pos = 0;
    while (pos < lines.size()) {
        size_t end = lines.find("\r\n", pos);
        if (end == std::string::npos) end = lines.size();
        if (!out.empty()) out += "\r\n";
        out += stamp;
        out.append(lines, pos, end - pos);
        pos = end + 2;
    }
    AppendDebugLogLine(path, out);
}

bool THostReport::DebugEnabled() const { return !host_.DebugLogPath().empty(); }

void THostReport::Progress(uint64_t position, uint64_t max, const std::string& text) {
    SafeProgress(host_, position, max, text);
}

bool THostReport::StopRequested() const { return state_.StopRequested(); }

std::string THostReport::Translate(const std::string& text) { return host_.Translate(text); }

} // namespace brivo
