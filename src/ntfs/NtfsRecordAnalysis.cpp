#include "ntfs/NtfsRecordAnalysis.h"

#include "core/ByteReaders.h"
#include "core/DateConvert.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {

namespace {
std::string Tr(const TTranslateFn& translate, const std::string& s) { return translate ? translate(s) : s; }
} // namespace

TNtfsRecordFacts AnalyzeMftRecord(NtfsBytes rec, const TNtfsClusterBitmap& bm, const TTranslateFn& translate) {
    TNtfsRecordFacts f;
    const int64_t size = static_cast<int64_t>(rec.size());
    WalkMftAttributes(rec, [&](const TNtfsAttr& a) {
        if (a.Type == kAttrStandardInformation && !a.NonResident) {
            const int64_t len = ReadLe32(rec, a.P + 16);
            const int64_t v = a.P + ReadLe16(rec, a.P + 20);
            if (len >= 16 && v + 16 <= size)
                f.HasModDate = FileTimeToUtc(static_cast<int64_t>(ReadLe64(rec, v + 8)), f.ModDateUtc);
            return true;
        }
        if (a.Type != kAttrData || a.NameLength != 0) return true;
        f.HasData = true;
        if (a.NonResident) {
            // A header cut short leaves size 0 and the condition unknown.
            if (a.P + 64 > size) return false;
            f.Size = static_cast<int64_t>(ReadLe64(rec, a.P + 48));
            if (f.Size <= 0) {
                f.Condition = {Tr(translate, "Empty"), 0};
            } else {
                const int64_t off = ReadLe16(rec, a.P + 32);
                f.Condition = EstimateRunCondition(bm, DecodeRunList(rec, a.P + off, static_cast<int64_t>(a.Length) - off),
                                                   translate);
            }
        } else {
            f.Size = ReadLe32(rec, a.P + 16);
            f.Condition = f.Size > 0 ? TNtfsCondition{Tr(translate, "Excellent (resident)"), 100}
                                     : TNtfsCondition{Tr(translate, "Empty"), 0};
        }
        return false;
    });
    return f;
}

} // namespace brivo
