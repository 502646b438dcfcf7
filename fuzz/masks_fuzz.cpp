// libFuzzer target over the file-mask matcher and the path tests that run on every
// found name. Input: mask bytes, a 0x00 byte, name bytes (no 0x00: the text is both).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "filters/Masks.h"
#include "filters/NoiseFilter.h"
#include "filters/SyntheticPath.h"
#include "filters/Wildcard.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view mask = split == std::string_view::npos ? input : input.substr(0, split);
    const std::string_view name = split == std::string_view::npos ? input : input.substr(split + 1);

    try {
        const TFileMask m(mask);
        const bool matched = m.Matches(name);
        // "*" + mask + "*" covers everything the mask covers, unless the extra groups pass 30.
        try {
            if (matched && !TFileMask("*" + std::string(mask) + "*").Matches(name))
                std::abort();
        } catch (const TMaskError&) {
        }
    } catch (const TMaskError&) {
    }

    // A text without "[", "*" and "?" is a mask that matches itself.
    if (name.find_first_of("[*?") == std::string_view::npos && !TFileMask(name).Matches(name))
        std::abort();

    try {
        (void)MatchesAnyMask(name, ParseMasks(mask));
    } catch (const TMaskError&) {
    }

    const std::string norm = NormalizeFilterPath(name);
    if (norm.find("//") != std::string::npos || norm.find('\\') != std::string::npos)
        std::abort();
    (void)IsNoisePath(name, static_cast<int64_t>(size) - 1);
    (void)IsSyntheticPath(name, TScanWhere::swDisk);
    (void)IsDefaultMaskList(ParseMasks(mask));
    return 0;
}
