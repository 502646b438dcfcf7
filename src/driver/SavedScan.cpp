#include "driver/SavedScan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ScanChoices.h"
#include "core/Sha256.h"
#include "driver/FsReaders.h"
#include "platform/RawSource.h"

namespace brivo {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "brivo-saved-scan";
constexpr int kVersion = 1;
// A result's check: the first 64 bits of a SHA-256, in hex.
constexpr size_t kCheckDigits = 16;
// A saved scan of a few million results is a few hundred MiB; anything far larger is not
// one of ours, and reading it whole would only exhaust memory.
constexpr uintmax_t kMaxSavedScanBytes = uintmax_t{4} << 30;

const char* FoundByName(TFoundBy by) {
    switch (by) {
        case TFoundBy::DeepSweep: return "deep sweep";
        case TFoundBy::Content: return "content";
        case TFoundBy::Metadata: break;
    }
    return "metadata";
}

TFoundBy FoundByOf(const std::string& name) {
    if (name == "deep sweep") return TFoundBy::DeepSweep;
    if (name == "content") return TFoundBy::Content;
    if (name == "metadata") return TFoundBy::Metadata;
    throw std::runtime_error("unknown found_by \"" + name + "\"");
}

Json ResultJson(const TFoundFile& f) {
    Json o;
    o["inode"] = f.Inode;
    o["path"] = f.FullPath;
    o["size"] = f.SizeBytes;
    o["condition"] = f.DamageText;
    o["score"] = f.DamageScore;
    o["deleted"] = f.IsDeleted;
    o["dir"] = f.IsDir;
    o["type"] = f.FileType;
    if (f.HasModDate && std::isfinite(f.ModDateUtc)) o["modified_days"] = f.ModDateUtc;
    else o["modified_days"] = nullptr;
    if (f.HasCreateDate && std::isfinite(f.CreateDateUtc)) o["created_days"] = f.CreateDateUtc;
    o["found_by"] = FoundByName(f.FoundBy);
    if (!f.Extents.empty()) {
        Json e = Json::array();
        for (const TByteExtent& x : f.Extents) e.push_back({x.Offset, x.Length});
        o["extents"] = std::move(e);
    }
    if (!f.Candidates.empty()) o["candidates"] = f.Candidates;
    return o;
}

// Every field of a saved scan is read through these: a field of the wrong type, or a
// number outside what the program ever writes (a size of 1e308, a negative count), makes
// the file refused with the field's name, never converted into a value it does not hold.
const Json& Field(const Json& o, const char* name) {
    if (!o.is_object()) throw std::runtime_error("an entry is not an object");
    const auto it = o.find(name);
    if (it == o.end()) throw std::runtime_error(std::string("the field \"") + name + "\" is missing");
    return *it;
}

[[noreturn]] void BadField(const char* name, const char* what) {
    throw std::runtime_error(std::string("the field \"") + name + "\" is not " + what);
}

std::string Text(const Json& o, const char* name) {
    const Json& v = Field(o, name);
    if (!v.is_string()) BadField(name, "a text");
    return v.get<std::string>();
}

bool Flag(const Json& o, const char* name) {
    const Json& v = Field(o, name);
    if (!v.is_boolean()) BadField(name, "true or false");
    return v.get<bool>();
}

// A whole number in [low, high]; a float, even a whole one, is not one the program wrote.
int64_t Whole(const Json& v, const char* name, int64_t low, int64_t high) {
    if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (u <= static_cast<uint64_t>(INT64_MAX) && static_cast<int64_t>(u) >= low && static_cast<int64_t>(u) <= high)
            return static_cast<int64_t>(u);
    } else if (v.is_number_integer()) {
        const int64_t i = v.get<int64_t>();
        if (i >= low && i <= high) return i;
    }
    throw std::runtime_error(std::string("the field \"") + name + "\" is not a whole number from " +
                             std::to_string(low) + " to " + std::to_string(high));
}

uint64_t Unsigned(const Json& v, const char* name) {
    if (v.is_number_unsigned()) return v.get<uint64_t>();
    if (v.is_number_integer() && v.get<int64_t>() >= 0) return static_cast<uint64_t>(v.get<int64_t>());
    BadField(name, "a whole number of 0 or more");
}

// Days from 1899-12-30: anything outside years 1601..9999 is no time a reader gives.
constexpr double kFirstDay = -109205.0;
constexpr double kLastDay = 2958466.0;

TFoundFile ResultOf(const Json& o, uint64_t volumeSize, std::string& check) {
    TFoundFile f;
    f.Inode = Text(o, "inode");
    f.FullPath = Text(o, "path");
    f.SizeBytes = Whole(Field(o, "size"), "size", -1, INT64_MAX);
    f.DamageText = Text(o, "condition");
    f.DamageScore = static_cast<int>(Whole(Field(o, "score"), "score", -1, 100));
    f.IsDeleted = Flag(o, "deleted");
    f.IsDir = Flag(o, "dir");
    f.FileType = Text(o, "type");
    const Json& m = Field(o, "modified_days");
    if (!m.is_null()) {
        if (!m.is_number() || !(m.get<double>() >= kFirstDay && m.get<double>() <= kLastDay))
            BadField("modified_days", "a date (days from 1899-12-30) or null");
        f.ModDateUtc = m.get<double>();
        f.HasModDate = true;
    }
    // Scans saved before creation times were kept have none: the field is optional.
    if (o.contains("created_days")) {
        const Json& c = o.at("created_days");
        if (!c.is_number() || !(c.get<double>() >= kFirstDay && c.get<double>() <= kLastDay))
            BadField("created_days", "a date (days from 1899-12-30)");
        f.CreateDateUtc = c.get<double>();
        f.HasCreateDate = true;
    }
    f.FoundBy = FoundByOf(Text(o, "found_by"));
    if (o.contains("extents")) {
        const Json& list = o.at("extents");
        if (!list.is_array()) BadField("extents", "a list");
        for (const Json& e : list) {
            if (!e.is_array() || e.size() != 2) throw std::runtime_error("an extent is not [offset, length]");
            const uint64_t offset = Unsigned(e.at(0), "extents");
            const uint64_t length = Unsigned(e.at(1), "extents");
            // A piece outside the volume would be read from whatever follows it.
            if (length == 0 || offset > volumeSize || length > volumeSize - offset)
                throw std::runtime_error("an extent of \"" + f.FullPath + "\" lies outside the volume");
            f.Extents.push_back({offset, length});
        }
    }
    // A name's finds beside it; scans saved before they were kept have none.
    if (o.contains("candidates")) {
        const Json& list = o.at("candidates");
        if (!list.is_array()) BadField("candidates", "a list of paths");
        for (const Json& c : list) {
            if (!c.is_string()) BadField("candidates", "a list of paths");
            f.Candidates.push_back(c.get<std::string>());
        }
    }
    if (o.contains("check")) {
        const Json& c = o.at("check");
        if (!c.is_string() || c.get<std::string>().size() != kCheckDigits ||
            c.get<std::string>().find_first_not_of("0123456789abcdef") != std::string::npos)
            BadField("check", "a check of the result's records");
        check = c.get<std::string>();
    }
    return f;
}

} // namespace

TScanIdentity IdentifyVolume(const TSourceVolumes& volumes, const TVolume& volume) {
    TScanIdentity id;
    id.Source = volumes.Source;
    id.Volume = volume.Index;
    const TByteSourcePtr bytes = OpenVolumeSource(volumes, volume);
    id.Size = bytes->Size();
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(id.Size == 0 ? 1u << 20 : id.Size, 1u << 20)));
    const int64_t got = bytes->ReadAt(0, head.data(), head.size());
    if (got < 0) throw std::runtime_error("Cannot read " + bytes->Name() + ": " + bytes->LastError());
    head.resize(static_cast<size_t>(got));
    id.FirstMiBSha256 = Sha256Hex(head);
    return id;
}

namespace {

// A content find depends on its bytes alone; its first ones are enough to tell that they
// were written over, without reading whole files again.
constexpr size_t kContentCheckBytes = 4096;

std::string CheckOf(const std::vector<uint8_t>& bytes) {
    return bytes.empty() ? std::string() : Sha256Hex(bytes).substr(0, kCheckDigits);
}

// The checker of one result, made once per volume.
std::function<std::string(const TFoundFile&)> MakeChecker(TByteSource& volume, TFsKind kind) {
    const TFsReader* reader = FindFsReader(kind);
    TResultRecords records;
    if (reader && reader->Records) records = reader->Records(volume);
    return [records, &volume](const TFoundFile& f) {
        std::vector<uint8_t> bytes;
        if (!f.Extents.empty()) {
            bytes.resize(static_cast<size_t>(std::min<uint64_t>(f.Extents[0].Length, kContentCheckBytes)));
            if (!volume.ReadExact(f.Extents[0].Offset, bytes.data(), bytes.size())) bytes.clear();
        } else if (records) {
            bytes = records(f);
        }
        return CheckOf(bytes);
    };
}

} // namespace

std::vector<std::string> ResultChecks(TByteSource& volume, TFsKind kind, const TFoundFiles& found) {
    const auto check = MakeChecker(volume, kind);
    std::vector<std::string> out;
    out.reserve(found.size());
    for (const TFoundFile& f : found) out.push_back(check(f));
    return out;
}

size_t CountChangedResults(TByteSource& volume, TFsKind kind, const TSavedScan& scan, std::string& firstChanged) {
    if (scan.Checks.size() != scan.Found.size()) return 0;
    const auto check = MakeChecker(volume, kind);
    size_t changed = 0;
    for (size_t i = 0; i < scan.Found.size(); ++i) {
        if (scan.Checks[i].empty() || check(scan.Found[i]) == scan.Checks[i]) continue;
        if (changed++ == 0) firstChanged = scan.Found[i].FullPath;
    }
    return changed;
}

void WriteSavedScan(const TSavedScan& scan, const std::string& path) {
    Json doc;
    doc["format"] = kFormat;
    doc["version"] = kVersion;
    doc["source"] = scan.Identity.Source;
    doc["volume"] = scan.Identity.Volume;
    doc["volume_size"] = scan.Identity.Size;
    doc["first_mib_sha256"] = scan.Identity.FirstMiBSha256;
    doc["where"] = WhereKindInfo(scan.Where).CliName;
    doc["scope"] = scan.Scope;
    doc["masks"] = scan.Masks;
    doc["fs_switch"] = scan.FsSwitch;
    doc["route"] = scan.Route;
    doc["hidden_by_masks"] = scan.HiddenByMasks;
    doc["hidden_by_cleanup"] = scan.HiddenByCleanup;
    doc["deep_may_find_more"] = scan.DeepMayFindMore;
    doc["deleted_folders"] = scan.DeletedFolders;
    doc["count"] = scan.Found.size();
    Json results = Json::array();
    for (size_t i = 0; i < scan.Found.size(); ++i) {
        Json r = ResultJson(scan.Found[i]);
        if (i < scan.Checks.size() && !scan.Checks[i].empty()) r["check"] = scan.Checks[i];
        results.push_back(std::move(r));
    }
    doc["results"] = std::move(results);
    Json plans = Json::object();
    if (scan.Plans)
        for (const auto& [address, clusters] : *scan.Plans) plans[address] = clusters;
    doc["cluster_plans"] = std::move(plans);

    const std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error(ErrnoText(errno) + ": " + path);
        out << doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        out.flush();
        if (!out) {
            const int err = errno;
            std::remove(tmp.c_str());
            throw std::runtime_error(ErrnoText(err) + ": " + path);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(tmp.c_str());
        throw std::runtime_error(ErrnoText(err) + ": " + path);
    }
}

TSavedScan ReadSavedScan(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(ErrnoText(errno) + ": " + path);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0);
    if (size < 0 || static_cast<uintmax_t>(size) > kMaxSavedScanBytes)
        throw std::runtime_error(path + " is not a saved scan of this program: it is too large.");
    TSavedScan s;
    try {
        const Json doc = Json::parse(in);
        if (!doc.is_object() || doc.value("format", std::string()) != kFormat)
            throw std::runtime_error("it has no saved-scan header");
        if (Whole(Field(doc, "version"), "version", 0, INT32_MAX) != kVersion)
            throw std::runtime_error("version " + doc.at("version").dump() + " is not one this program reads");
        s.Identity.Source = Text(doc, "source");
        if (s.Identity.Source.empty()) BadField("source", "a path");
        s.Identity.Volume = static_cast<uint32_t>(Whole(Field(doc, "volume"), "volume", 1, UINT32_MAX));
        s.Identity.Size = Unsigned(Field(doc, "volume_size"), "volume_size");
        s.Identity.FirstMiBSha256 = Text(doc, "first_mib_sha256");
        if (s.Identity.FirstMiBSha256.size() != 64 ||
            s.Identity.FirstMiBSha256.find_first_not_of("0123456789abcdef") != std::string::npos)
            BadField("first_mib_sha256", "a SHA-256 in hex");
        const std::string where = Text(doc, "where");
        if (!FindWhereByCliName(where, s.Where)) throw std::runtime_error("unknown where \"" + where + "\"");
        s.Scope = Text(doc, "scope");
        const Json& masks = Field(doc, "masks");
        if (!masks.is_array()) BadField("masks", "a list of masks");
        for (const Json& m : masks) {
            if (!m.is_string()) BadField("masks", "a list of masks");
            s.Masks.push_back(m.get<std::string>());
        }
        s.FsSwitch = Text(doc, "fs_switch");
        s.Route = Text(doc, "route");
        s.HiddenByMasks = Unsigned(Field(doc, "hidden_by_masks"), "hidden_by_masks");
        s.HiddenByCleanup = Unsigned(Field(doc, "hidden_by_cleanup"), "hidden_by_cleanup");
        s.DeepMayFindMore = Flag(doc, "deep_may_find_more");
        // Absent from scans saved before the folder tree knew them.
        if (doc.contains("deleted_folders")) {
            const Json& folders = doc.at("deleted_folders");
            if (!folders.is_array()) BadField("deleted_folders", "a list of folder paths");
            for (const Json& d : folders) {
                if (!d.is_string()) BadField("deleted_folders", "a list of folder paths");
                s.DeletedFolders.push_back(d.get<std::string>());
            }
        }
        const Json& results = Field(doc, "results");
        if (!results.is_array()) throw std::runtime_error("results is not a list");
        s.Found.reserve(results.size());
        s.Checks.reserve(results.size());
        for (const Json& r : results) {
            std::string check;
            s.Found.push_back(ResultOf(r, s.Identity.Size, check));
            s.Checks.push_back(std::move(check));
        }
        // Files of an older version carry no checks: only their first MiB can be compared.
        if (std::all_of(s.Checks.begin(), s.Checks.end(), [](const std::string& c) { return c.empty(); }))
            s.Checks.clear();
        auto plans = std::make_shared<TClusterPlanMap>();
        const Json& planList = Field(doc, "cluster_plans");
        if (!planList.is_object()) BadField("cluster_plans", "a table of cluster lists");
        for (const auto& [address, clusters] : planList.items()) {
            if (!clusters.is_array()) BadField("cluster_plans", "a table of cluster lists");
            std::vector<uint32_t>& list = (*plans)[address];
            list.reserve(clusters.size());
            for (const Json& c : clusters)
                list.push_back(static_cast<uint32_t>(Whole(c, "cluster_plans", 2, UINT32_MAX)));
        }
        if (!plans->empty()) s.Plans = std::move(plans);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(path + " is not a saved scan of this program: " + e.what());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + " is not a saved scan of this program: " + e.what());
    }
    return s;
}

} // namespace brivo
