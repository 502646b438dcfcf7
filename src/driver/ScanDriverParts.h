#pragma once
// What the files of the scan driver share: the report of a running scan and the questions
// each route asks about the scan's source and choice.
#include <cstdint>
#include <string>
#include <vector>

#include "core/ReaderReport.h"
#include "core/ScanChoices.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "core/SourceSelection.h"
#include "core/TextFormat.h"
#include "driver/ScanDriver.h"
#include "volumes/VolumeList.h"

namespace brivo {

// The report of a direct reader: the host's, with the scan's elapsed time after every
// progress text, so a long step visibly moves.
class TDriverReport final : public THostReport {
public:
    TDriverReport(TScanHost& host, const TScanState& state, uint64_t startMs)
        : THostReport(host, state), startMs_(startMs) {}
    void Progress(uint64_t position, uint64_t max, const std::string& text) override {
        THostReport::Progress(position, max, text.empty() ? text : WithElapsed(text));
    }
    std::string WithElapsed(const std::string& text) {
        return text + " " + Format(Translate("(%s elapsed)"), {ElapsedText(DriverClockMs() - startMs_)});
    }

private:
    uint64_t startMs_;
};

// A scan of a whole disk or image, not narrowed to a folder: only then is its free space
// searched, as what the content search finds has no folder.
inline bool WholeVolume(const TScanSource& source) {
    return source.Where == TScanWhere::swDisk || source.Where == TScanWhere::swDiskImage;
}

// A volume no signature names (neither one read directly nor one the engine knows).
inline bool Unrecognised(const TVolume& v) { return v.Fs.Kind == TFsKind::NotRecognised && v.Fs.Name.empty(); }

// The kinds a content search looks for: those asked for, else those the masks name.
std::vector<std::string> ContentTypesOf(const TScanChoice& choice);

} // namespace brivo
