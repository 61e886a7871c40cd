#include "e2e/E2eHarness.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

void MakeDirs(const std::string& path) {
    for (size_t p = path.find('/', 1); p != std::string::npos; p = path.find('/', p + 1))
        ::mkdir(path.substr(0, p).c_str(), 0755);
}

void RemoveTree(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

}  // namespace

E2eSite::E2eSite() {
    char tmpl[] = "/tmp/quorvel-e2e-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);
}

E2eSite::~E2eSite() {
    if (!std::getenv("QV_KEEP_SITES"))
        RemoveTree(dir_);
}

void E2eSite::Write(const std::string& rel, const std::string& content, int mode) const {
    std::string path = Path(rel);
    MakeDirs(path);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    f.close();
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string E2eSite::Read(const std::string& rel) const {
    std::ifstream f(Path(rel), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool E2eSite::Exists(const std::string& rel) const { return ::access(Path(rel).c_str(), F_OK) == 0; }

void E2eSite::Remove(const std::string& rel) const { ::unlink(Path(rel).c_str()); }

GatewayRun E2eSite::Run(const std::map<std::string, std::string>& env, const std::string& body,
                        int timeoutSeconds, int exitCode) const {
    std::map<std::string, std::string> all;
    for (const char* pass : {"PATH", "HOME", "ODBCSYSINI", "ODBCINI", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                             "LSAN_OPTIONS", "TMPDIR"})
        if (const char* v = std::getenv(pass))
            all[pass] = v;
    for (const auto& kv : env)
        all[kv.first] = kv.second;
    std::vector<std::string> envStrings;
    for (const auto& kv : all)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);

    // The body goes through a file so that a gateway that never reads it cannot block us.
    std::string bodyPath = dir_ + "/.stdin";
    {
        std::ofstream f(bodyPath, std::ios::binary | std::ios::trunc);
        f << body;
    }
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open(bodyPath.c_str(), O_RDONLY);
        ::dup2(in, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (::chdir(dir_.c_str()) != 0)
            ::_exit(126);
        char* argv[] = {const_cast<char*>(QUORVEL_BINARY), nullptr};
        ::execve(QUORVEL_BINARY, argv, envp.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    GatewayRun run;
    struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    time_t deadline = ::time(nullptr) + timeoutSeconds;
    char buf[65536];
    while (open > 0) {
        int left = static_cast<int>(deadline - ::time(nullptr));
        if (left <= 0) {
            run.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        int r = ::poll(fds, 2, left * 1000);
        if (r < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? run.out : run.err).append(buf, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            ::close(f.fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    EXPECT_FALSE(run.timedOut) << "gateway did not finish within " << timeoutSeconds << " s";
    EXPECT_EQ(run.exitCode, exitCode) << "gateway exit status; stderr:\n" << run.err;
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    return run;
}

GatewayRun E2eSite::Get(const std::string& path, const std::string& query,
                        const std::map<std::string, std::string>& extra) const {
    std::map<std::string, std::string> env = {
        {"PATH_INFO", path},
        {"QUERY_STRING", query},
        {"REQUEST_METHOD", "GET"},
        {"GATEWAY_INTERFACE", "CGI/1.1"},
    };
    for (const auto& kv : extra)
        env[kv.first] = kv.second;
    return Run(env);
}

bool StripTimestamp(const std::string& line, std::string& rest) {
    // "M/D/YYYY h:m:s ": numbers without leading zeros, within their ranges.
    const char seps[] = {'/', '/', ' ', ':', ':', ' '};
    const int lo[] = {1, 1, 1000, 0, 0, 0};
    const int hi[] = {12, 31, 9999, 23, 59, 59};
    size_t i = 0;
    for (int field = 0; field < 6; ++field) {
        size_t start = i;
        int v = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i - start < 4)
            v = v * 10 + (line[i++] - '0');
        size_t len = i - start;
        if (len == 0 || (len > 1 && line[start] == '0') || v < lo[field] || v > hi[field])
            return false;
        if (i >= line.size() || line[i] != seps[field])
            return false;
        ++i;
    }
    rest = line.substr(i);
    return true;
}

std::string E2eSite::StatsWithoutTimestamps() const {
    std::string all = Read("qvstat.log");
    std::string out;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find("\r\n", start);
        if (end == std::string::npos) {
            out += "<unterminated>" + all.substr(start) + "\n";
            break;
        }
        std::string line = all.substr(start, end - start);
        std::string rest;
        out += (StripTimestamp(line, rest) ? rest : "<bad stamp>" + line) + "\n";
        start = end + 2;
    }
    return out;
}
