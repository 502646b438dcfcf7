#pragma once
#include <array>
#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ByteReaders.h"
#include "core/Text.h"

namespace brivo {

// The text of one long-name entry: at most 13 UTF-16 characters. Kept in place (no heap)
// because a directory walk meets one per 13 characters of every long name on the volume.
struct TLfnPart {
    std::array<char16_t, 13> Chars{};
    uint8_t Length = 0;
    std::u16string_view View() const { return {Chars.data(), Length}; }
    bool Empty() const { return Length == 0; }
};

// The long-name entries met since the last short entry. Texts stay UTF-16 until a name
// is chosen, so a surrogate pair split across two parts still joins correctly.
struct TFatLongNameState {
    std::array<TLfnPart, 32> Ordinals;  // ordinal 1..31 -> text of that part
    std::bitset<32> HaveOrdinal;
    std::vector<TLfnPart> RawParts;     // non-empty texts in the order met
    uint8_t WantSeq = 0;                // ordinal of the last live 0x40 entry, 0 when none
    uint8_t ExpectedChecksum = 0;       // its checksum byte; counts only while WantSeq > 0
    bool DeletedLfnSeen = false;
};

struct TResolvedName {
    std::string Name;
    bool ValidLfn = false;
    std::string Short;  // DecodeShortName of the entry
};

// The 13 UTF-16 characters of a long-name entry, up to the first 0x0000 or 0xFFFF.
TLfnPart LfnEntryPart(ByteSpan entry);
std::string LfnEntryText(ByteSpan entry);

void AddLongNameEntry(TFatLongNameState& state, ByteSpan entry);
// The name of a short entry: a checksum-verified live long name, else (in a deleted
// directory or for a deleted entry) the collected parts joined last-met first, else the
// short name.
TResolvedName ResolveEntryName(const TFatLongNameState& state, ByteSpan entry, bool deletedContext);
void ResetLongName(TFatLongNameState& state);
std::string JoinRawParts(const TFatLongNameState& state);
std::string JoinRawPartsReversed(const TFatLongNameState& state);
// The same joins appended to out.
void AppendRawParts(std::string& out, const std::vector<TLfnPart>& rawParts, bool reversed);

} // namespace brivo
