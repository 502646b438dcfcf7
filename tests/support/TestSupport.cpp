#include "TestSupport.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

namespace brivo::test {

TempDir::TempDir() {
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string((t && *t) ? t : "/tmp") + "/brivo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> env = overrides;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const std::string& o : overrides) {
            const size_t eq = o.find('=');
            if (eq != std::string::npos && entry.compare(0, eq + 1, o, 0, eq + 1) == 0) replaced = true;
        }
        if (!replaced) env.push_back(entry);
    }
    return env;
}

int SpawnWithDefaultSignals(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const SpawnOutput& out, const SpawnOutput& err, const std::vector<int>& signals) {
    std::vector<std::string> a = argv, e = env;
    std::vector<char*> args, envp;
    for (auto& s : a) args.push_back(s.data());
    args.push_back(nullptr);
    for (auto& s : e) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    const std::pair<int, const SpawnOutput*> targets[] = {{1, &out}, {2, &err}};
    for (const auto& [fd, o] : targets) {
        if (o->fd >= 0)
            posix_spawn_file_actions_adddup2(&fa, o->fd, fd);
        else if (!o->file.empty())
            posix_spawn_file_actions_addopen(&fa, fd, o->file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        else
            posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t def;
    sigemptyset(&def);
    for (int sig : signals) sigaddset(&def, sig);
    posix_spawnattr_setsigdefault(&attr, &def);
    // Its own process group, so a test can signal it as a terminal does: kill(-pid, SIGINT).
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, a[0].c_str(), &fa, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

ProcessResult RunProcess(const std::vector<std::string>& argv) {
    ProcessResult res;
    int outp[2], errp[2];
    if (::pipe2(outp, O_CLOEXEC) != 0) return res;
    if (::pipe2(errp, O_CLOEXEC) != 0) { ::close(outp[0]); ::close(outp[1]); return res; }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outp[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errp[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(outp[1]);
    ::close(errp[1]);
    if (rc != 0) {
        ::close(outp[0]); ::close(errp[0]);
        res.err = "spawn failed";
        return res;
    }
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) { if (errno == EINTR) continue; break; }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    res.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return res;
}

std::string FixturePath(const std::string& name) { return std::string(BRIVO_FIXTURE_DIR) + "/" + name; }

std::string SharedTestDataDir() {
    const char* env = std::getenv("BRIVO_TESTDATA");
    return (env && *env) ? env : BRIVO_SHARED_TESTDATA;
}

std::string SharedTestData(const std::string& name) { return SharedTestDataDir() + "/" + name; }

std::string FindSharedTestData(const std::string& name) {
    const std::string path = SharedTestData(name);
    std::error_code ec;
    return std::filesystem::exists(path, ec) ? path : std::string();
}

std::string MissingSharedTestData(const std::string& name) {
    return "third-party test data not found: " + SharedTestData(name) +
           " (set BRIVO_TESTDATA to the folder that holds it)";
}

std::string UnpackFixture(const std::string& name, const TempDir& dir) {
    const std::string gz = FixturePath(name + ".gz");
    const std::string out = dir / name;
    ProcessResult r = RunProcess({"gzip", "-dc", gz});
    if (r.exitCode != 0) {
        ADD_FAILURE() << "cannot unpack fixture " << gz << ": " << r.err;
        return out;
    }
    WriteFileBytes(out, r.out);
    return out;
}

std::vector<ManifestEntry> ReadManifest(const std::string& image) {
    std::vector<ManifestEntry> out;
    std::ifstream in(FixturePath(image + ".manifest.tsv"));
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (header) { header = false; continue; }
        if (line.empty()) continue;
        std::istringstream ls(line);
        ManifestEntry e;
        std::string size;
        std::getline(ls, e.path, '\t');
        std::getline(ls, size, '\t');
        std::getline(ls, e.md5, '\t');
        e.size = std::atoll(size.c_str());
        out.push_back(e);
    }
    return out;
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Md5OfFile(const std::string& path) {
    ProcessResult r = RunProcess({"md5sum", "--", path});
    if (r.exitCode != 0) return {};
    return r.out.substr(0, r.out.find(' '));
}

std::string CliPath() { return BRIVO_CLI_PATH; }

ImageMount::ImageMount(const std::string& image, const std::string& mountPoint, const std::string& fuseProgram)
    : mountPoint_(mountPoint) {
    if (::geteuid() != 0) {
        why_ = "mounting an image needs root";
        return;
    }
    ::mkdir(mountPoint.c_str(), 0755);
    if (!fuseProgram.empty()) {
        const auto r = RunProcess({fuseProgram, image, mountPoint});
        mounted_ = r.exitCode == 0;
        if (!mounted_) why_ = fuseProgram + " cannot mount here: " + r.err;
        return;
    }
    const auto l = RunProcess({"losetup", "-f", "--show", image});
    if (l.exitCode != 0) {
        why_ = "no loop device available: " + l.err;
        return;
    }
    loop_ = l.out.substr(0, l.out.find('\n'));
    const auto m = RunProcess({"mount", loop_, mountPoint});
    mounted_ = m.exitCode == 0;
    if (!mounted_) why_ = "cannot mount " + loop_ + ": " + m.err;
}

ImageMount::~ImageMount() {
    if (mounted_) RunProcess({"umount", mountPoint_});
    if (!loop_.empty()) RunProcess({"losetup", "-d", loop_});
}

} // namespace brivo::test
