#pragma once
#include <algorithm>
// Builders of hand-made NTFS bytes: FILE records with the attributes the reader looks at,
// and small volumes around them, so that each test shows exactly the on-disk fact it needs.
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace brivo::test {

using Bytes = std::vector<uint8_t>;

inline void PutLe(Bytes& b, size_t pos, uint64_t v, int n) {
    if (b.size() < pos + n) b.resize(pos + n);
    for (int i = 0; i < n; ++i) b[pos + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline Bytes Utf16(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

struct TestName {
    uint64_t ParentRef = 5 | (uint64_t{5} << 48);
    std::u16string Name;
    uint8_t Ns = 1;  // Win32
};

struct TestData {
    TestData(bool resident, Bytes value = {}, int64_t size = 0, Bytes runList = {}, uint8_t nameLength = 0)
        : Resident(resident), Value(std::move(value)), Size(size), RunList(std::move(runList)), NameLength(nameLength) {}
    bool Resident = true;
    Bytes Value;                 // resident content
    int64_t Size = 0;            // non-resident data size
    Bytes RunList;               // non-resident runlist bytes (terminator added)
    uint8_t NameLength = 0;      // > 0: a named stream (whose name bytes are left out unless Name is set)
    std::u16string Name;         // the stream's name, written into the attribute
    uint16_t AttrFlags = 0;      // 0x0001 compressed, 0x4000 encrypted, 0x8000 sparse
    uint16_t Id = 0;             // attribute id
    std::optional<int64_t> InitSize;  // non-resident initialized size (default: Size)
};

struct TestRecord {
    uint16_t Flags = 0;          // 1 in use, 2 directory
    uint16_t Seq = 1;
    std::vector<TestName> Names;
    std::optional<uint64_t> ModTime;  // $STANDARD_INFORMATION modification FILETIME
    std::vector<TestData> Data;
    bool BadFixups = false;      // update sequence array pointing past the record
    std::vector<Bytes> Extra;    // further attributes, whole, put after the names
};

// Where an attribute's name ends and its value or runlist starts: 8-aligned.
inline size_t AfterName(size_t header, const std::u16string& name) { return (header + 2 * name.size() + 7) / 8 * 8; }

inline void PutName(Bytes& a, size_t header, const std::u16string& name) {
    const Bytes n = Utf16(name);
    std::copy(n.begin(), n.end(), a.begin() + static_cast<std::ptrdiff_t>(header));
    PutLe(a, 10, header, 2);
}

// One attribute with an 8-aligned length.
inline Bytes ResidentAttr(uint32_t type, const Bytes& value, uint8_t nameLen = 0, const std::u16string& name = {}) {
    const size_t at = AfterName(24, name);
    // Sized up front: GCC 12 flags vector::insert at the end as out of bounds at -O2.
    Bytes a(at + value.size());
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
    PutLe(a, 0, type, 4);
    PutLe(a, 8, 0, 1);
    PutLe(a, 9, name.empty() ? nameLen : name.size(), 1);
    if (!name.empty()) PutName(a, 24, name);
    PutLe(a, 16, value.size(), 4);
    PutLe(a, 20, at, 2);
    while (a.size() % 8) a.push_back(0);
    PutLe(a, 4, a.size(), 4);
    return a;
}

inline Bytes NonResidentAttr(uint32_t type, int64_t size, const Bytes& runs, uint8_t nameLen = 0,
                             const std::u16string& name = {}) {
    const size_t at = AfterName(64, name);
    Bytes a(at + runs.size());
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(at));
    PutLe(a, 0, type, 4);
    PutLe(a, 8, 1, 1);
    PutLe(a, 9, name.empty() ? nameLen : name.size(), 1);
    if (!name.empty()) PutName(a, 64, name);
    PutLe(a, 32, at, 2);
    PutLe(a, 40, static_cast<uint64_t>(size), 8);
    PutLe(a, 48, static_cast<uint64_t>(size), 8);
    PutLe(a, 56, static_cast<uint64_t>(size), 8);
    a.push_back(0);
    while (a.size() % 8) a.push_back(0);
    PutLe(a, 4, a.size(), 4);
    return a;
}

inline Bytes FileNameValue(const TestName& n) {
    Bytes v(66);
    PutLe(v, 0, n.ParentRef, 8);
    PutLe(v, 64, n.Name.size(), 1);
    PutLe(v, 65, n.Ns, 1);
    Bytes name = Utf16(n.Name);
    v.insert(v.end(), name.begin(), name.end());
    return v;
}

// A record of `size` bytes as stored on disk: the last two bytes of every 512-byte sector
// moved into the update sequence array.
inline Bytes MakeRecord(const TestRecord& r, size_t size = 1024) {
    Bytes b(size, 0);
    std::memcpy(b.data(), "FILE", 4);
    const size_t sectors = size / 512;
    PutLe(b, 4, r.BadFixups ? size - 2 : 48, 2);
    PutLe(b, 6, sectors + 1, 2);
    PutLe(b, 16, r.Seq, 2);
    PutLe(b, 18, 1, 2);
    const size_t first = (48 + 2 * (sectors + 1) + 7) / 8 * 8;
    PutLe(b, 20, first, 2);
    PutLe(b, 22, r.Flags, 2);
    Bytes attrs;
    if (r.ModTime) {
        Bytes si(48, 0);
        PutLe(si, 8, *r.ModTime, 8);
        Bytes a = ResidentAttr(0x10, si);
        attrs.insert(attrs.end(), a.begin(), a.end());
    }
    for (const auto& n : r.Names) {
        Bytes a = ResidentAttr(0x30, FileNameValue(n));
        attrs.insert(attrs.end(), a.begin(), a.end());
    }
    for (const auto& e : r.Extra) attrs.insert(attrs.end(), e.begin(), e.end());
    for (const auto& d : r.Data) {
        Bytes a = d.Resident ? ResidentAttr(0x80, d.Value, d.NameLength, d.Name)
                             : NonResidentAttr(0x80, d.Size, d.RunList, d.NameLength, d.Name);
        PutLe(a, 12, d.AttrFlags, 2);
        PutLe(a, 14, d.Id, 2);
        if (!d.Resident && d.InitSize) PutLe(a, 56, static_cast<uint64_t>(*d.InitSize), 8);
        attrs.insert(attrs.end(), a.begin(), a.end());
    }
    PutLe(attrs, attrs.size(), 0xFFFFFFFF, 4);
    PutLe(attrs, attrs.size(), 0, 4);
    std::memcpy(b.data() + first, attrs.data(), std::min(attrs.size(), size - first));
    PutLe(b, 24, first + attrs.size(), 4);
    PutLe(b, 28, size, 4);
    if (!r.BadFixups) {
        const uint16_t usn = 0x0007;
        PutLe(b, 48, usn, 2);
        for (size_t i = 1; i <= sectors; ++i) {
            const size_t q = i * 512 - 2;
            b[48 + 2 * i] = b[q];
            b[48 + 2 * i + 1] = b[q + 1];
            PutLe(b, q, usn, 2);
        }
    }
    return b;
}

// A runlist entry: header byte, then length and offset fields of the given widths.
inline Bytes RunEntry(int64_t clusters, int64_t delta, int lenBytes = 2, int offBytes = 2) {
    Bytes b{static_cast<uint8_t>(lenBytes | (offBytes << 4))};
    for (int i = 0; i < lenBytes; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(clusters) >> (8 * i)));
    for (int i = 0; i < offBytes; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
    return b;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A small volume: 512-byte sectors (4096-byte clusters unless set), 1024-byte records, the
// $MFT at cluster MftLcn holding `records` (index = record number; an empty vector leaves a slot
// of zeros), record 0 made here from mftRuns (default: one run over all the records) and
// record 6 from `bitmap` (resident) unless the caller put its own record 6 in place.
struct TestVolume {
    int64_t ClusterBytes = 4096;
    int64_t MftLcn = 4;
    std::vector<Bytes> Records;
    std::optional<Bytes> MftRunList;   // record 0's runlist (terminator added)
    std::optional<int64_t> MftSize;    // record 0's data size
    Bytes Bitmap{0xFF};
    int64_t Clusters = 64;

    Bytes Build() const {
        Bytes img(static_cast<size_t>(Clusters * ClusterBytes), 0);
        img[0] = 0xEB; img[1] = 0x52; img[2] = 0x90;
        std::memcpy(img.data() + 3, "NTFS    ", 8);
        PutLe(img, 11, 512, 2);
        PutLe(img, 13, static_cast<uint64_t>(ClusterBytes / 512), 1);
        PutLe(img, 40, static_cast<uint64_t>(Clusters * ClusterBytes / 512), 8);
        PutLe(img, 48, MftLcn, 8);
        PutLe(img, 56, 2, 8);
        PutLe(img, 64, 0xF6, 1);
        PutLe(img, 68, 1, 1);
        std::vector<Bytes> recs = Records;
        if (recs.size() < 7) recs.resize(7);
        const int64_t mftBytes = static_cast<int64_t>(recs.size()) * 1024;
        const int64_t mftClusters = (mftBytes + ClusterBytes - 1) / ClusterBytes;
        TestRecord r0;
        r0.Flags = 1;
        r0.Names = {{5 | (uint64_t{5} << 48), u"$MFT", 3}};
        r0.Data = {{false, {}, MftSize.value_or(mftBytes), MftRunList.value_or(RunEntry(mftClusters, MftLcn, 1, 1))}};
        recs[0] = MakeRecord(r0);
        if (recs[6].empty()) {
            TestRecord r6;
            r6.Flags = 1;
            r6.Names = {{5 | (uint64_t{5} << 48), u"$Bitmap", 3}};
            r6.Data = {{true, Bitmap}};
            recs[6] = MakeRecord(r6);
        }
        if (recs[5].empty()) {
            TestRecord root;
            root.Flags = 3;
            root.Seq = 5;
            root.Names = {{5 | (uint64_t{5} << 48), u".", 3}};
            recs[5] = MakeRecord(root);
        }
        for (size_t i = 0; i < recs.size(); ++i) {
            if (recs[i].empty()) continue;
            const size_t off = static_cast<size_t>(MftLcn * ClusterBytes) + i * 1024;
            if (off + 1024 > img.size()) img.resize(off + 1024);
            std::memcpy(img.data() + off, recs[i].data(), 1024);
        }
        return img;
    }
};

inline uint64_t Ref(uint64_t record, uint16_t seq) { return record | (static_cast<uint64_t>(seq) << 48); }

} // namespace brivo::test
