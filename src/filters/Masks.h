#pragma once
#include <string>
#include <string_view>

#include "core/FoundFile.h"
#include "core/ScanChoices.h"
#include "core/SourceSelection.h"

namespace brivo {

// The trimmed mask text of the chosen category; "*.*" for any other index or when the
// text is empty.
std::string CurrentMaskText(const TScanChoice& choice);

// Splits at "," and ";", trims each piece and drops the empty ones (order and duplicates
// kept); a blank is not a separator. Never empty: "*.*" when nothing is left.
TMaskList ParseMasks(std::string_view maskText);

// True when the list is empty or any mask, trimmed, is "*" or "*.*": the user searches
// for everything, which turns the direct NTFS scan's cleanup filter on.
bool IsDefaultMaskList(const TMaskList& masks);

} // namespace brivo
