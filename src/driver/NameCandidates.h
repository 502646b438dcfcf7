#pragma once
#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

// The kind a path names by its ending, as the content search names its finds: lower
// case, "jpeg" as "jpg", "tiff" as "tif"; empty when the name has no ending.
std::string ContentKindOfPath(const std::string& path);

// Whether the content search finds files of a path's kind (by its ending).
bool KindFoundByContent(const std::string& path);

// Shows a deep scan's content finds beside the names the reader could not give content
// (r.NamesWithoutContent, consumed): a find whose first byte lies in a name's area and
// whose kind its ending names is that name's candidate. A name whose proven size equals
// exactly one candidate's proven size (its format's check found the end) is joined to it:
// the find takes the name's path and times and the name's own row goes (listed once).
// Other names with candidates are listed with them (Candidates, and a condition that says
// how many), those the cleanup filter hid included; names without any stay as they were.
// Never joins on a guess: equal sizes of a find cut short, or two finds of that size, join
// nothing. content is the search's finds, still apart from r.Found.
void ShowNamesBesideContent(TReaderResult& r, TFoundFiles& content, TReaderReport& report);

} // namespace brivo
