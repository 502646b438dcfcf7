#include "ntfs/NtfsRecordAnalysis.h"

#include "core/ByteReaders.h"
#include "core/DateConvert.h"
#include "core/Text.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {

namespace {
std::string Tr(const TTranslateFn& translate, const std::string& s) { return translate ? translate(s) : s; }

// Size and condition of one $DATA attribute; false when its non-resident header is cut
// short (size 0, condition unknown).
bool DataFacts(NtfsBytes rec, const TNtfsAttr& a, const TNtfsClusterBitmap& bm, const TTranslateFn& translate,
               int64_t& size, TNtfsCondition& condition, int64_t* firstLcn = nullptr) {
    if (a.NonResident) {
        if (a.P + 64 > static_cast<int64_t>(rec.size())) return false;
        size = static_cast<int64_t>(ReadLe64(rec, a.P + 48));
        if (size <= 0) {
            condition = {Tr(translate, "Empty"), 0};
            return true;
        }
        const TNtfsRuns runs = DecodeAttributeRuns(rec, a.P, a.Length).Runs;
        condition = EstimateRunCondition(bm, runs, translate);
        if (firstLcn && !runs.empty() && !runs[0].Sparse && runs[0].Vcn == 0 && runs[0].Lcn > 0)
            *firstLcn = runs[0].Lcn;
    } else {
        size = ReadLe32(rec, a.P + 16);
        condition = size > 0 ? TNtfsCondition{Tr(translate, "Excellent (resident)"), 100}
                             : TNtfsCondition{Tr(translate, "Empty"), 0};
    }
    return true;
}
} // namespace

TNtfsRecordFacts AnalyzeMftRecord(NtfsBytes rec, const TNtfsClusterBitmap& bm, const TTranslateFn& translate,
                                  bool streams) {
    TNtfsRecordFacts f;
    const int64_t size = static_cast<int64_t>(rec.size());
    WalkMftAttributes(rec, [&](const TNtfsAttr& a) {
        if (a.Type == kAttrStandardInformation && !a.NonResident) {
            const int64_t len = ReadLe32(rec, a.P + 16);
            const int64_t v = a.P + ReadLe16(rec, a.P + 20);
            // Creation time first, then the content's last change.
            if (len >= 16 && v + 16 <= size) {
                f.HasCreateDate = FileTimeToUtcExact(static_cast<int64_t>(ReadLe64(rec, v)), f.CreateDateUtc);
                f.HasModDate = FileTimeToUtc(static_cast<int64_t>(ReadLe64(rec, v + 8)), f.ModDateUtc);
            }
            return true;
        }
        if (a.Type != kAttrData) return true;
        if (a.NameLength != 0) {
            if (!streams) return true;
            const int64_t nameAt = a.P + ReadLe16(rec, a.P + 10);
            if (nameAt + 2 * int64_t{a.NameLength} > a.P + a.Length) return true;
            TNtfsStreamFacts s;
            AppendUtf16Le(s.Name, rec, static_cast<size_t>(nameAt), a.NameLength);
            s.Id = a.Id;
            if (!DataFacts(rec, a, bm, translate, s.Size, s.Condition)) return false;
            f.Streams.push_back(std::move(s));
            return true;
        }
        if (f.HasData) return true;
        f.HasData = true;
        return DataFacts(rec, a, bm, translate, f.Size, f.Condition, &f.FirstLcn) && streams;
    });
    return f;
}

} // namespace brivo
