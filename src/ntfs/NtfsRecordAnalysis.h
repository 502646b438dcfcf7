#pragma once
#include <cstdint>
#include <string>

#include "core/FoundFile.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsTypes.h"

namespace brivo {

// What a deleted file's record tells about its content.
struct TNtfsRecordFacts {
    bool HasData = false;       // an unnamed $DATA attribute was found
    int64_t Size = 0;
    TDateTime ModDateUtc = 0;   // $STANDARD_INFORMATION modification time
    bool HasModDate = false;
    TNtfsCondition Condition;   // "Unknown" (untranslated), -1 until the $DATA says more
};

// Reads the modification time and the unnamed $DATA's size and condition. Named streams
// are stepped over; attributes come in type order, so the time is seen before the data.
TNtfsRecordFacts AnalyzeMftRecord(NtfsBytes rec, const TNtfsClusterBitmap& bm, const TTranslateFn& translate = {});

} // namespace brivo
