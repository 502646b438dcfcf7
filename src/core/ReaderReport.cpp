#include "core/ReaderReport.h"

#include "core/ScanHost.h"
#include "core/ScanLog.h"
#include "core/ScanState.h"

namespace brivo {

void THostReport::Log(const std::string& msg) { SafeLog(host_, msg); }

void THostReport::DebugLog(const std::string& line) { AppendDebugLogLine(host_.DebugLogPath(), FormatLogLine(line)); }

void THostReport::Progress(uint64_t position, uint64_t max, const std::string& text) {
    SafeProgress(host_, position, max, text);
}

bool THostReport::StopRequested() const { return state_.StopRequested(); }

std::string THostReport::Translate(const std::string& text) { return host_.Translate(text); }

} // namespace brivo
