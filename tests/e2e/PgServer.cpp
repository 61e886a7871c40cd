#include "e2e/PgServer.h"

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace {

std::string Script(const char* name) { return "'" + std::string(QUORVEL_SOURCE_DIR) + "/scripts/" + name + "'"; }

// The value of `export NAME=value` in the output of scripts/pg-start.
std::string Exported(const std::string& out, const std::string& name) {
    std::string key = "export " + name + "=";
    size_t p = out.find(key);
    if (p == std::string::npos)
        return "";
    p += key.size();
    return out.substr(p, out.find('\n', p) - p);
}

// The server this process started; stopped when the process ends.
struct OwnServer {
    std::string dir;
    ~OwnServer() {
        if (dir.empty())
            return;
        std::string command = Script("pg-stop") + " '" + dir + "' >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
        }
    }
};

}  // namespace

bool EnsurePostgres(std::string& why) {
    static OwnServer server;
    const char* dsn = std::getenv("QV_PG_DSN");
    if (dsn && *dsn)
        return true;
    std::string out;
    FILE* p = ::popen((Script("pg-start") + " 2>&1").c_str(), "r");
    if (p) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int status = ::pclose(p);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            out = "failed: " + out;
    }
    server.dir = Exported(out, "QV_PG_DIR");
    std::string started = Exported(out, "QV_PG_DSN");
    if (server.dir.empty() || started.empty()) {
        why = "scripts/pg-start could not start a server: " + out;
        return false;
    }
    ::setenv("QV_PG_DSN", started.c_str(), 1);
    return true;
}
