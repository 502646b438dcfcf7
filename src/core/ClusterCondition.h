#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace brivo {

// How intact a deleted file's content still is, the same words and scores on every direct
// route so that results sort alike: "Excellent", "Good/Damaged/Poor, N% reused",
// "Overwritten", or "Unknown" (-1) when nothing could be tested.
// Clusters tested per file at most.
inline constexpr int64_t kConditionSampleClusters = 0x4000;

struct TClusterCondition {
    std::string Text = "Unknown";
    int Score = -1;
};

// From the clusters a deleted file occupied: tested of them checked, used of those handed
// out again since; sampled when only the first of many were checked (" sampled" follows
// the text). translate turns the English texts into the user's language.
TClusterCondition ConditionFromReuse(int64_t tested, int64_t used, bool sampled,
                                     const std::function<std::string(const std::string&)>& translate = {});

} // namespace brivo
