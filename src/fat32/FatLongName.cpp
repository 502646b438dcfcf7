#include "fat32/FatLongName.h"

#include "fat32/FatDirEntry.h"
#include "platform/CodePages.h"

namespace brivo {

namespace {

// Where a long-name entry keeps its 13 characters.
constexpr int kLfnCharOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] <= 0x20) ++b;
    while (e > b && s[e - 1] <= 0x20) --e;
    return s.substr(b, e - b);
}

} // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const uint32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);  // a lone surrogate has no UTF-8 form
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

std::u16string LfnEntryText16(ByteSpan entry) {
    std::u16string text;
    if (entry.size() < kDirEntrySize) return text;
    for (int off : kLfnCharOffsets) {
        const char16_t c = static_cast<char16_t>(ReadLe16(entry, off));
        if (c == 0x0000 || c == 0xFFFF) break;
        text += c;
    }
    return text;
}

std::string LfnEntryText(ByteSpan entry) { return Utf16ToUtf8(LfnEntryText16(entry)); }

void AddLongNameEntry(TFatLongNameState& state, ByteSpan entry) {
    const uint8_t b = ReadU8(entry, 0);
    const uint8_t ordinal = b & 0x1F;
    if (b == kEntryDeleted) state.DeletedLfnSeen = true;
    std::u16string text = LfnEntryText16(entry);
    if (!text.empty()) state.RawParts.push_back(text);
    if (ordinal == 0) return;
    // A deleted entry's 0xE5 also reads as ordinal 5 with the 0x40 bit; it never starts a run.
    if ((b & 0x40) && b != kEntryDeleted) {
        state.HaveOrdinal.reset();
        state.WantSeq = ordinal;
        state.ExpectedChecksum = ReadU8(entry, 13);
    }
    if (!text.empty()) {
        state.Ordinals[ordinal] = std::move(text);
        state.HaveOrdinal.set(ordinal);
    }
}

namespace {
std::u16string RawReversed(const TFatLongNameState& state) {
    std::u16string joined;
    for (auto it = state.RawParts.rbegin(); it != state.RawParts.rend(); ++it) joined += *it;
    return Trim(joined);
}
} // namespace

TResolvedName ResolveEntryName(const TFatLongNameState& state, ByteSpan entry, bool deletedContext) {
    TResolvedName r;
    const std::string shortName = DecodeShortName(entry);
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
            joined += state.Ordinals[o];
        }
        r.Name = complete ? Utf16ToUtf8(Trim(joined)) : std::string();
    }
    // On disk the parts stand in descending ordinal order, so joining them last-met first
    // restores a deleted long name whose sequence bytes were overwritten by 0xE5.
    if (deletedContext && !state.RawParts.empty() &&
        (r.Name.empty() || r.Name == shortName || state.DeletedLfnSeen))
        r.Name = Utf16ToUtf8(RawReversed(state));
    if (r.Name.empty()) r.Name = shortName;
    return r;
}

void ResetLongName(TFatLongNameState& state) {
    state.HaveOrdinal.reset();
    state.RawParts.clear();
    state.WantSeq = 0;
    state.DeletedLfnSeen = false;
}

std::string JoinRawParts(const TFatLongNameState& state) {
    std::u16string joined;
    for (const auto& p : state.RawParts) joined += p;
    return Utf16ToUtf8(Trim(joined));
}

std::string JoinRawPartsReversed(const TFatLongNameState& state) { return Utf16ToUtf8(RawReversed(state)); }

} // namespace brivo
