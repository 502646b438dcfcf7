#include "engine/EngineFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "core/TextFormat.h"
#include "engine/SignalCleanup.h"
#include "platform/Paths.h"
#include "platform/RawSource.h"
#include "platform/UniqueFd.h"

namespace brivo {

namespace {

constexpr const char* kDefaultSearchPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Opens base/name as the parent of the per-start folders, making it (0700) when it is
// missing. Returns an invalid fd when it is a link, not a directory, or not ours: the
// temporary folder is shared, and whoever owns that directory could swap our folder
// for one holding their own "fls" (run as root, perhaps). err gets the system's reason
// when the folder could not be made or opened at all (0 for the refusals above).
UniqueFd OpenPrivateParent(const std::string& base, const std::string& name, int& err) {
    err = 0;
    const std::string path = JoinPath(base, name);
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        err = errno;
        return UniqueFd();
    }
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno != ELOOP && errno != ENOTDIR) err = errno;
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return UniqueFd();
    // Ours but open to others (made by hand, or under a looser umask): close it up.
    if ((st.st_mode & 022) != 0 && ::fchmod(fd.get(), 0700) != 0) return UniqueFd();
    return fd;
}

} // namespace

const std::vector<TEngineTool>& EngineToolTable() {
    static const std::vector<TEngineTool> table = {{"fls", false}, {"icat", false}, {"ils", true}, {"fsstat", true}, {"blkls", true}, {"istat", true}};
    return table;
}

std::string FindToolOnPath(const std::string& fileName, const std::string& searchPath) {
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos) end = searchPath.size();
        const std::string dir = searchPath.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir.front() != '/') continue;
        const std::string cand = JoinPath(dir, fileName);
        if (FileExists(cand) && ::access(cand.c_str(), X_OK) == 0) return cand;
    }
    return {};
}

std::string CreateUniqueTempFolder(const std::string& prefix) {
    const std::string base = TempDirectory();
    std::string parentName = prefix;
    int err = 0;
    UniqueFd parent = OpenPrivateParent(base, parentName, err);
    if (!parent) {
        parentName = prefix + "-" + std::to_string(::geteuid());
        parent = OpenPrivateParent(base, parentName, err);
    }
    // The temporary folder itself refuses (read-only, no permission): its own reason.
    if (!parent && err != 0)
        throw std::runtime_error(Format("Cannot make a private engine folder in the temporary folder %s: %s",
                                        {base, ErrnoText(err)}));
    if (!parent)
        throw std::runtime_error(Format("Cannot make a private engine folder in %s: \"%s\" and \"%s\" are links, "
                                        "not folders, or belong to another user.",
                                        {base, prefix, parentName}));
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::string guid = NewGuidText();
        if (::mkdirat(parent.get(), guid.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;
            throw std::runtime_error(ErrnoText(errno) + ": " + JoinPath(JoinPath(base, parentName), guid));
        }
        // A umask can only have taken bits away; make sure it is exactly owner-only.
        UniqueFd dir(::openat(parent.get(), guid.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (dir) ::fchmod(dir.get(), 0700);
        return JoinPath(JoinPath(base, parentName), guid);
    }
    throw std::runtime_error("Cannot make a new engine folder in " + JoinPath(base, parentName));
}

void ExtractEmbeddedBinaries(std::string& toolsDir, std::vector<TExtractedBinary>& extracted,
                             const std::string& searchPath) {
    toolsDir.clear();
    extracted.clear();
    toolsDir = CreateUniqueTempFolder(kEngineFolderPrefix);
    TrackEngineFolder(toolsDir);
    const auto& table = EngineToolTable();
    extracted.resize(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        const TEngineTool& row = table[i];
        extracted[i].FileName = row.FileName;
        try {
            const std::string installed = FindToolOnPath(row.FileName, searchPath);
            if (installed.empty())
                throw std::runtime_error(Format("The engine tool \"%s\" is not installed (not found on PATH). "
                                                "Install the package \"%s\" (apt install %s).",
                                                {row.FileName, kEnginePackage, kEnginePackage}));
            const std::string link = JoinPath(toolsDir, row.FileName);
            if (::symlink(installed.c_str(), link.c_str()) != 0)
                throw std::runtime_error(ErrnoText(errno) + ": " + link);
            extracted[i].ResourceName = installed;
            extracted[i].FullPath = link;
        } catch (...) {
            if (row.Optional) continue;
            DeleteExtractedBinaries(toolsDir, extracted);
            throw;
        }
    }
}

void ExtractEmbeddedBinaries(std::string& toolsDir, std::vector<TExtractedBinary>& extracted) {
    const char* path = std::getenv("PATH");
    ExtractEmbeddedBinaries(toolsDir, extracted, path ? path : kDefaultSearchPath);
}

void ExtractEmbeddedBinaries(TEngineContext& ctx) { ExtractEmbeddedBinaries(ctx.FToolsDir, ctx.FExtracted); }

void DeleteExtractedBinaries(const std::string& toolsDir, const std::vector<TExtractedBinary>& extracted) {
    for (const auto& e : extracted) {
        struct stat st {};
        if (!e.FullPath.empty() && ::lstat(e.FullPath.c_str(), &st) == 0) ::unlink(e.FullPath.c_str());
    }
    RemoveTempFolder(toolsDir);
}

void DeleteExtractedBinaries(TEngineContext& ctx) {
    if (!ctx.FToolsDir.empty()) DeleteExtractedBinaries(ctx.FToolsDir, ctx.FExtracted);
}

void RemoveTempFolder(const std::string& folder) {
    if (folder.empty() || folder == "/") return;
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);  // removes links themselves, never what they point to
    UntrackEngineFolder(folder);
}

std::string RequireTool(const TEngineContext& ctx, TScanHost& host, const std::string& fileName) {
    if (!ctx.FToolsDir.empty()) {
        const std::string p = JoinPath(ctx.FToolsDir, fileName);
        if (FileExists(p)) return p;
    }
    const std::string q = JoinPath(ExecutableDir(), fileName);
    if (FileExists(q)) return q;
    throw std::runtime_error(Format(host.Translate("Required engine file not found: %s"), {fileName}));
}

bool CheckRequiredFiles(const TEngineContext& ctx, TScanHost& host) {
    if (DirectoryExists(ctx.FToolsDir)) return true;
    host.ShowWarning(host.Translate("Missing required files."));
    return false;
}

} // namespace brivo
