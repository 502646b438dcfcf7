#include "driver/SavedScan.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/ScanChoices.h"
#include "core/Sha256.h"
#include "platform/RawSource.h"

namespace brivo {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "brivo-saved-scan";
constexpr int kVersion = 1;
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
    o["found_by"] = FoundByName(f.FoundBy);
    if (!f.Extents.empty()) {
        Json e = Json::array();
        for (const TByteExtent& x : f.Extents) e.push_back({x.Offset, x.Length});
        o["extents"] = std::move(e);
    }
    return o;
}

TFoundFile ResultOf(const Json& o) {
    TFoundFile f;
    f.Inode = o.at("inode").get<std::string>();
    f.FullPath = o.at("path").get<std::string>();
    f.SizeBytes = o.at("size").get<int64_t>();
    f.DamageText = o.at("condition").get<std::string>();
    f.DamageScore = o.at("score").get<int>();
    f.IsDeleted = o.at("deleted").get<bool>();
    f.IsDir = o.at("dir").get<bool>();
    f.FileType = o.at("type").get<std::string>();
    const Json& m = o.at("modified_days");
    if (!m.is_null()) {
        f.ModDateUtc = m.get<double>();
        f.HasModDate = std::isfinite(f.ModDateUtc);
    }
    f.FoundBy = FoundByOf(o.at("found_by").get<std::string>());
    if (o.contains("extents"))
        for (const Json& e : o.at("extents")) {
            if (!e.is_array() || e.size() != 2) throw std::runtime_error("an extent is not [offset, length]");
            f.Extents.push_back({e.at(0).get<uint64_t>(), e.at(1).get<uint64_t>()});
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
    for (const TFoundFile& f : scan.Found) results.push_back(ResultJson(f));
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
        if (doc.at("version").get<int>() != kVersion)
            throw std::runtime_error("version " + doc.at("version").dump() + " is not one this program reads");
        s.Identity.Source = doc.at("source").get<std::string>();
        s.Identity.Volume = doc.at("volume").get<uint32_t>();
        s.Identity.Size = doc.at("volume_size").get<uint64_t>();
        s.Identity.FirstMiBSha256 = doc.at("first_mib_sha256").get<std::string>();
        if (!FindWhereByCliName(doc.at("where").get<std::string>(), s.Where))
            throw std::runtime_error("unknown where \"" + doc.at("where").get<std::string>() + "\"");
        s.Scope = doc.at("scope").get<std::string>();
        s.Masks = doc.at("masks").get<TMaskList>();
        s.FsSwitch = doc.at("fs_switch").get<std::string>();
        s.Route = doc.at("route").get<std::string>();
        s.HiddenByMasks = doc.at("hidden_by_masks").get<uint64_t>();
        s.HiddenByCleanup = doc.at("hidden_by_cleanup").get<uint64_t>();
        s.DeepMayFindMore = doc.at("deep_may_find_more").get<bool>();
        // Absent from scans saved before the folder tree knew them.
        if (doc.contains("deleted_folders")) s.DeletedFolders = doc.at("deleted_folders").get<std::vector<std::string>>();
        const Json& results = doc.at("results");
        if (!results.is_array()) throw std::runtime_error("results is not a list");
        s.Found.reserve(results.size());
        for (const Json& r : results) s.Found.push_back(ResultOf(r));
        auto plans = std::make_shared<TClusterPlanMap>();
        for (const auto& [address, clusters] : doc.at("cluster_plans").items())
            (*plans)[address] = clusters.get<std::vector<uint32_t>>();
        if (!plans->empty()) s.Plans = std::move(plans);
    } catch (const nlohmann::json::exception& e) {
        throw std::runtime_error(path + " is not a saved scan of this program: " + e.what());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + " is not a saved scan of this program: " + e.what());
    }
    return s;
}

} // namespace brivo
