#include "e2e/FaultSupport.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#include <gtest/gtest.h>

namespace {

std::string PgBin(const std::string& program) {
    const char* dir = std::getenv("QV_PG_BINDIR");
    return std::string(dir ? dir : "/usr/lib/postgresql/15/bin") + "/" + program;
}

// Runs `command` through the shell and returns its standard output; `ok` tells whether it
// exited with status 0.
std::string Capture(const std::string& command, bool& ok, const std::string& input = "") {
    std::string tmp = std::filesystem::temp_directory_path() / ("qvfault-in." + std::to_string(::getpid()));
    std::ofstream(tmp) << input;
    FILE* p = ::popen((command + " <" + tmp).c_str(), "r");
    std::string out;
    if (p) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
    }
    int status = p ? ::pclose(p) : -1;
    std::filesystem::remove(tmp);
    ok = status == 0;
    return out;
}

// The value of `export NAME=value` in a server script's output, or the empty text.
std::string Exported(const std::string& out, const std::string& name) {
    size_t p = out.find("export " + name + "=");
    if (p == std::string::npos)
        return std::string();
    p += 8 + name.size();
    return out.substr(p, out.find('\n', p) - p);
}

}  // namespace

bool ProcessGone(pid_t pid, int withinMs) {
    auto alive = [pid] {
        if (pid <= 0 || ::kill(pid, 0) != 0)
            return false;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');
        return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
    };
    for (int waited = 0; alive(); waited += 20) {
        if (waited >= withinMs)
            return false;
        ::usleep(20 * 1000);
    }
    return true;
}

LockHolder::LockHolder(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
            ::_exit(1);
        char c = 'L';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    ssize_t n = ::read(ready[0], &c, 1);
    ::close(ready[0]);
    if (n != 1)
        throw std::runtime_error("lock holder did not get the lock on " + path);
}

LockHolder::~LockHolder() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

ReadOnlyFile::ReadOnlyFile(const std::string& path) : path_(path) {
    bool ok = false;
    if (::geteuid() == 0) {
        Capture("chattr +i '" + path + "' 2>/dev/null", ok);
        applied_ = ok;
    } else {
        applied_ = ::chmod(path.c_str(), 0444) == 0;
    }
    // Whatever was done, it counts only if a write is refused now.
    if (applied_) {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
        applied_ = fd < 0;
        if (fd >= 0)
            ::close(fd);
    }
}

ReadOnlyFile::~ReadOnlyFile() {
    bool ok;
    if (::geteuid() == 0)
        Capture("chattr -i '" + path_ + "' 2>/dev/null", ok);
    else
        ::chmod(path_.c_str(), 0644);
}

bool PrivateServer::Launch(const std::string& script, const std::string& prefix) {
    bool ok = false;
    std::string out = Capture(std::string(QUORVEL_SOURCE_DIR) + "/scripts/" + script + " 2>/dev/null", ok);
    dir_ = Exported(out, prefix + "_DIR");
    port_ = Exported(out, prefix + "_PORT");
    return ok && !dir_.empty() && !port_.empty();
}

std::unique_ptr<PrivatePostgres> PrivatePostgres::Start() {
    std::unique_ptr<PrivatePostgres> server(new PrivatePostgres());
    return server->Launch("pg-start", "QV_PG") ? std::move(server) : nullptr;
}

PrivatePostgres::~PrivatePostgres() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string PrivatePostgres::Definition() const { return "pg:127.0.0.1:" + port_ + ":quorvel"; }

std::string PrivatePostgres::StopCommand() const {
    std::string ctl = PgBin("pg_ctl") + " -D " + dir_ + "/data -m immediate -w stop";
    return ::geteuid() == 0 ? "runuser -u postgres -- " + ctl : ctl;
}

void PrivateServer::Stop() {
    bool ok;
    Capture(StopCommand() + " >/dev/null 2>&1", ok);
}

std::unique_ptr<PrivateServer> PrivateServer::Start(DbKind kind) {
    if (kind == DbKind::kMariadb)
        return PrivateMariadb::Start();
    return PrivatePostgres::Start();
}

std::unique_ptr<PrivateMariadb> PrivateMariadb::Start() {
    std::unique_ptr<PrivateMariadb> server(new PrivateMariadb());
    return server->Launch("mariadb-start", "QV_MARIADB") ? std::move(server) : nullptr;
}

PrivateMariadb::~PrivateMariadb() {
    bool ok;
    Capture(std::string(QUORVEL_SOURCE_DIR) + "/scripts/mariadb-stop '" + dir_ + "' >/dev/null 2>&1", ok);
}

std::string PrivateMariadb::Definition() const { return "mariadb:127.0.0.1:" + port_ + ":quorvel"; }

// Killed, and waited for until it is gone. Its pid file goes with it: process numbers come
// round again quickly on a busy machine, and a later stop must not signal a stranger.
std::string PrivateMariadb::StopCommand() const {
    const std::string file = "'" + dir_ + "/server.pid'";
    return "pid=$(cat " + file + ") && [ -n \"$pid\" ] && kill -9 \"$pid\" && "
           "while kill -0 \"$pid\" 2>/dev/null; do sleep 0.05; done; rm -f " + file;
}

bool PrivateMariadb::Restart() {
    bool ok;
    Capture("('" + dir_ + "/server.sh' >/dev/null 2>&1 &)", ok);
    for (int i = 0; i < 300; ++i) {
        Capture("mariadb-admin --no-defaults -h 127.0.0.1 -P " + port_ + " -u quorvel -pquorvel ping >/dev/null 2>&1", ok);
        if (ok)
            return true;
        ::usleep(100 * 1000);
    }
    return false;
}

std::string PrivateMariadb::Sql(const std::string& sql) {
    bool ok = false;
    std::string out = Capture("mariadb --no-defaults --socket='" + dir_ + "/sock' -u \"$(id -un)\" -D quorvel -N -B 2>&1",
                              ok, sql);
    EXPECT_TRUE(ok) << sql << "\n" << out;
    std::replace(out.begin(), out.end(), '\t', '|');
    return out;
}

bool PrivatePostgres::Restart() {
    std::string ctl = PgBin("pg_ctl") + " -D " + dir_ + "/data -l " + dir_ + "/server.log -w -t 30 -o '-p " +
                      port_ + " -k " + dir_ + " -c listen_addresses=127.0.0.1 -c fsync=off' start";
    bool ok;
    Capture((::geteuid() == 0 ? "runuser -u postgres -- " + ctl : ctl) + " >/dev/null 2>&1", ok);
    return ok;
}

std::string PrivatePostgres::Sql(const std::string& sql) {
    bool ok = false;
    std::string out = Capture("PGPASSWORD=quorvel " + PgBin("psql") + " -h 127.0.0.1 -p " + port_ +
                                  " -U quorvel -d quorvel -X -q -A -t -v ON_ERROR_STOP=1 -f - 2>&1",
                              ok, sql);
    EXPECT_TRUE(ok) << sql << "\n" << out;
    return out;
}
