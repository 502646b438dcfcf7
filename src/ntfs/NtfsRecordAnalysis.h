#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/FoundFile.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsTypes.h"

namespace brivo {

// A named $DATA attribute (an alternate data stream) of a record.
struct TNtfsStreamFacts {
    std::string Name;  // UTF-8
    uint16_t Id = 0;   // attribute id: the engine's address is <record>-128-<id>
    int64_t Size = 0;
    TNtfsCondition Condition;
};

// What a deleted file's record tells about its content.
struct TNtfsRecordFacts {
    bool HasData = false;       // an unnamed $DATA attribute was found
    int64_t Size = 0;
    TDateTime ModDateUtc = 0;   // $STANDARD_INFORMATION modification time
    bool HasModDate = false;
    TDateTime CreateDateUtc = 0;  // $STANDARD_INFORMATION creation time
    bool HasCreateDate = false;
    TNtfsCondition Condition;   // "Unknown" (untranslated), -1 until the $DATA says more
    int64_t FirstLcn = -1;      // the non-resident unnamed $DATA's first cluster; -1 when none
    std::vector<TNtfsStreamFacts> Streams;  // only when asked for
};

// Reads the creation and modification times and the unnamed $DATA's size and condition, and with
// `streams` set every named $DATA's as well (otherwise named streams are stepped over).
// Attributes come in type order, so the times are seen before the data.
TNtfsRecordFacts AnalyzeMftRecord(NtfsBytes rec, const TNtfsClusterBitmap& bm, const TTranslateFn& translate = {},
                                  bool streams = false);

} // namespace brivo
