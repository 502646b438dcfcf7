#include "RecordingHost.h"

namespace brivo::test {

RecordingHost::RecordingHost() : ui_(std::this_thread::get_id()) {}

bool RecordingHost::IsUiThread() const { return std::this_thread::get_id() == ui_; }

void RecordingHost::Queue(std::function<void()> step) {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(step));
}

size_t RecordingHost::Drain() {
    size_t ran = 0;
    for (;;) {
        std::function<void()> step;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (queue_.empty()) return ran;
            step = std::move(queue_.front());
            queue_.pop_front();
        }
        step();
        ++ran;
    }
}

size_t RecordingHost::Pending() const {
    std::lock_guard<std::mutex> lock(mu_);
    return queue_.size();
}

void RecordingHost::AddMemoLine(const std::string& line) {
    memo.push_back(line);
    events.push_back("memo: " + (line.size() > 10 ? line.substr(10) : line));
}
void RecordingHost::ClearMemo() {
    memo.clear();
    events.push_back("memo-clear: ");
}
void RecordingHost::SetStatusText(const std::string& text) {
    status = text;
    events.push_back("status: " + text);
}
void RecordingHost::SetProgress(TProgressStyle style, int position) {
    indeterminate = style == TProgressStyle::Indeterminate;
    if (!indeterminate) progress = position;
    events.push_back(indeterminate ? "progress: marquee" : "progress: " + std::to_string(position));
}
void RecordingHost::SetBusyWidgets(bool b) {
    busy = b;
    if (!b) { progress = 0; indeterminate = false; }
    events.push_back(std::string("busy: ") + (b ? "1" : "0"));
}
void RecordingHost::PopulateResults() {
    events.push_back("populate: ");
    if (onPopulate) onPopulate();
}
void RecordingHost::ShowWarning(const std::string& text) { events.push_back("warning: " + text); }
void RecordingHost::ShowError(const std::string& text) { events.push_back("error: " + text); }
void RecordingHost::ShowInfo(const std::string& text) { events.push_back("info: " + text); }

std::vector<std::string> RecordingHost::MemoMessages() const {
    std::vector<std::string> out;
    for (const auto& l : memo) out.push_back(l.size() >= 10 ? l.substr(10) : l);
    return out;
}

std::vector<std::string> RecordingHost::EventsOf(const std::string& kind) const {
    std::vector<std::string> out;
    const std::string prefix = kind + ": ";
    for (const auto& e : events)
        if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
    return out;
}

} // namespace brivo::test
