#include "fat32/FatLongName.h"

#include "fat32/FatDirEntry.h"
#include "platform/CodePages.h"

namespace brivo {

namespace {

// Where a long-name entry keeps its 13 characters.
constexpr int kLfnCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && s.front() <= 0x20) s.remove_prefix(1);
    while (!s.empty() && s.back() <= 0x20) s.remove_suffix(1);
    return s;
}

// Appends the parts joined (in disk order or last-met first) and trimmed. Runs several
// times for every deleted entry, so the joined text reuses one buffer per thread.
void AppendJoined(std::string& out, const std::vector<TLfnPart>& parts, bool reversed) {
    thread_local std::u16string joined;
    joined.clear();
    const size_t n = parts.size();
    for (size_t k = 0; k < n; ++k) joined += parts[reversed ? n - 1 - k : k].View();
    AppendUtf16AsUtf8(out, Trim(joined));
}

std::string RawJoined(const TFatLongNameState& state, bool reversed) {
    std::string out;
    AppendJoined(out, state.RawParts, reversed);
    return out;
}

} // namespace

TLfnPart LfnEntryPart(ByteSpan entry) {
    TLfnPart part;
    if (entry.size() < kDirEntrySize) return part;
    for (int off : kLfnCharOffsets) {
        const char16_t c = static_cast<char16_t>(entry[size_t(off)] | (entry[size_t(off) + 1] << 8));
        if (c == 0x0000 || c == 0xFFFF) break;
        part.Chars[part.Length++] = c;
    }
    return part;
}

std::string LfnEntryText(ByteSpan entry) { return Utf16ToUtf8(LfnEntryPart(entry).View()); }

void AddLongNameEntry(TFatLongNameState& state, ByteSpan entry) {
    const uint8_t b = ReadU8(entry, 0);
    const uint8_t ordinal = b & 0x1F;
    if (b == kEntryDeleted) state.DeletedLfnSeen = true;
    const TLfnPart part = LfnEntryPart(entry);
    if (!part.Empty()) state.RawParts.push_back(part);
    if (ordinal == 0) return;
    // A deleted entry's 0xE5 also reads as ordinal 5 with the 0x40 bit; it never starts a run.
    if ((b & 0x40) && b != kEntryDeleted) {
        state.HaveOrdinal.reset();
        state.WantSeq = ordinal;
        state.ExpectedChecksum = ReadU8(entry, 13);
    }
    if (!part.Empty()) {
        state.Ordinals[ordinal] = part;
        state.HaveOrdinal.set(ordinal);
    }
}

TResolvedName ResolveEntryName(const TFatLongNameState& state, ByteSpan entry, bool deletedContext) {
    TResolvedName r;
    r.Short = DecodeShortName(entry);
    const std::string shortName =
        (ReadU8(entry, 12) & (kCaseLowerBase | kCaseLowerExt)) ? DecodeShortName(entry, true) : r.Short;
    r.Name = shortName;
    r.ValidLfn = state.WantSeq > 0 && LfnChecksumMatches(entry, state.ExpectedChecksum);
    if (r.ValidLfn && !state.DeletedLfnSeen) {
        std::u16string joined;
        bool complete = true;
        for (unsigned o = 1; o <= state.WantSeq; ++o) {
            if (!state.HaveOrdinal.test(o)) {
                complete = false;
                break;
            }
            joined += state.Ordinals[o].View();
        }
        r.Name = complete ? Utf16ToUtf8(Trim(joined)) : std::string();
    }
    // On disk the parts stand in descending ordinal order, so joining them last-met first
    // restores a deleted long name whose sequence bytes were overwritten by 0xE5.
    if (deletedContext && !state.RawParts.empty() &&
        (r.Name.empty() || r.Name == shortName || state.DeletedLfnSeen))
        r.Name = RawJoined(state, true);
    if (r.Name.empty()) r.Name = shortName;
    return r;
}

void ResetLongName(TFatLongNameState& state) {
    state.HaveOrdinal.reset();
    state.RawParts.clear();
    state.WantSeq = 0;
    state.DeletedLfnSeen = false;
}

std::string JoinRawParts(const TFatLongNameState& state) { return RawJoined(state, false); }

std::string JoinRawPartsReversed(const TFatLongNameState& state) { return RawJoined(state, true); }

void AppendRawParts(std::string& out, const std::vector<TLfnPart>& rawParts, bool reversed) {
    AppendJoined(out, rawParts, reversed);
}

} // namespace brivo
