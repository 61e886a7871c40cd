#include "e2e/E2eHarness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

// The process-level names a run passes through from the test's own environment.
const char* const kPassThrough[] = {"PATH", "HOME", "ODBCSYSINI", "ODBCINI", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                                    "LSAN_OPTIONS", "TMPDIR"};

// NAME=VALUE strings and the null-terminated array execve takes.
class Envp {
public:
    explicit Envp(const std::map<std::string, std::string>& env) {
        for (const auto& kv : env)
            strings_.push_back(kv.first + "=" + kv.second);
        for (auto& s : strings_)
            pointers_.push_back(&s[0]);
        pointers_.push_back(nullptr);
    }
    explicit Envp(std::vector<std::string> strings) : strings_(std::move(strings)) {
        for (auto& s : strings_)
            pointers_.push_back(&s[0]);
        pointers_.push_back(nullptr);
    }
    char** Get() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// Runs `program` with `argv` and exactly `env` in `dir`, standard input from the file `in`,
// and collects its output and error until both are closed (or the time limit, when the
// program is killed), then its exit status.
GatewayRun Spawn(const std::string& program, const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& in, const std::string& dir,
                 int timeoutSeconds) {
    Envp envp(env);
    Envp args(argv);
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(in.c_str(), O_RDONLY);
        ::dup2(fd, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execve(program.c_str(), args.Get(), envp.Get());
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
    run.exitCode = StatusOf(status);
    return run;
}

// The FastCGI client program, looked up once on the test's PATH.
const std::string& ClientProgram() {
    static const std::string found = [] {
        const char* path = std::getenv("PATH");
        std::stringstream dirs(path ? path : "/usr/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty() && ::access((dir + "/cgi-fcgi").c_str(), X_OK) == 0)
                return dir + "/cgi-fcgi";
        return std::string();
    }();
    return found;
}

std::string ReadFrom(const std::string& path, std::streamoff offset) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(offset);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::streamoff SizeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// A CGI program's redirect leaves its status to the web server, which derives it from the
// Location; over FastCGI the gateway names it itself. Checked and removed from `out`, so
// that a FastCGI response is compared with the page a CGI run writes.
void ExpectRedirectStatus(std::string& out) {
    const std::string status = "Status: 302 Found\n";
    const std::string head = out.substr(0, out.find("\n\n") + 1);
    const size_t location = head.find("\nLocation: ");
    const size_t named = head.find("\n" + status);
    if (location == std::string::npos) {
        EXPECT_EQ(named, std::string::npos) << "a status without a redirect:\n" << head;
        return;
    }
    EXPECT_EQ(named + status.size(), location) << "a redirect without its status before the Location:\n" << head;
    if (named + status.size() == location)
        out.erase(named + 1, status.size());
}

}  // namespace

std::map<std::string, std::string> PassThroughEnvironment() {
    std::map<std::string, std::string> all;
    for (const char* pass : kPassThrough)
        if (const char* v = std::getenv(pass))
            all[pass] = v;
    return all;
}

GatewayRun RunCommand(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                      const std::string& dir, int timeoutSeconds, const std::vector<std::string>& tool) {
    std::vector<std::string> argv = tool;
    argv.push_back(QUORVEL_BINARY);
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv[0], argv, env, "/dev/null", dir, timeoutSeconds);
}

pid_t StartInBackground(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                        const std::string& dir, const std::string& log) {
    int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    std::vector<std::string> argv = {QUORVEL_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    Envp envp(env);
    Envp arguments(argv);
    pid_t pid = ::fork();
    if (pid == 0) {
        // A test process that dies (its time limit) takes its gateways with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        ::close_range(3, ~0U, 0);
        if (::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::execve(QUORVEL_BINARY, arguments.Get(), envp.Get());
        ::_exit(127);
    }
    ::close(logFd);
    return pid;
}

GatewayMode ModeFromEnvironment() {
    const char* mode = std::getenv("QV_GATEWAY_MODE");
    return mode && std::string(mode) == "fastcgi" ? GatewayMode::kFastCgi : GatewayMode::kCgi;
}

void ExpectCleanEnd(int status, const std::string& errors, const std::string& what) {
    EXPECT_EQ(status, 0) << what << " did not exit with status 0 (-1: still running, killed); it wrote:\n"
                         << errors;
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << what << ":\n" << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << what << ":\n" << errors;
}

FastCgiGateway::FastCgiGateway(const std::string& dir, const std::map<std::string, std::string>& env,
                               const std::vector<std::string>& args)
    : env_(env), owner_(::getpid()) {
    // A folder of its own keeps the socket short enough for sockaddr_un and out of the site.
    char tmpl[] = "/tmp/qvfcgi-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    tmp_ = tmpl;
    socket_ = tmp_ + "/socket";
    errPath_ = tmp_ + "/stderr";
    std::vector<std::string> argv = {"--fastcgi", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = StartInBackground(argv, env, dir, errPath_);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
    for (int waited = 0;; waited += 10) {
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool accepted = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (accepted)
            return;
        int status = 0;
        if (Ended(status)) {
            ADD_FAILURE() << "the FastCGI gateway ended before it listened, status " << status << ":\n" << Errors();
            return;
        }
        if (waited >= 30000) {
            ADD_FAILURE() << "the FastCGI gateway did not listen on " << socket_ << " within 30 s";
            Stop(SIGKILL);
            return;
        }
        ::usleep(10 * 1000);
    }
}

FastCgiGateway::~FastCgiGateway() {
    if (::getpid() != owner_)
        return;
    Stop();
    if (!std::getenv("QV_KEEP_SITES"))
        RemoveTree(tmp_);
}

bool FastCgiGateway::Ended(int& status) {
    if (status_ < 0 && pid_ > 0) {
        int raw = 0;
        if (::getpid() != owner_) {
            if (::kill(pid_, 0) != 0)
                status_ = 128;  // gone; only its parent learns the status
        } else if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = StatusOf(raw);
        }
    }
    status = status_;
    return status_ >= 0;
}

int FastCgiGateway::WaitEnd(int ms) {
    int status = -1;
    for (int waited = 0; !Ended(status) && waited < ms; waited += 10)
        ::usleep(10 * 1000);
    return status;
}

int FastCgiGateway::Stop(int signal, int timeoutSeconds) {
    int status = 0;
    if (pid_ <= 0 || Ended(status))
        return status;
    ::kill(pid_, signal);
    if (WaitEnd(timeoutSeconds * 1000) >= 0)
        return status_;
    ::kill(pid_, SIGKILL);
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    status_ = StatusOf(raw);
    return -1;
}

std::string FastCgiGateway::Errors() const { return ReadFrom(errPath_, 0); }

GatewayRun FastCgiGateway::Request(const std::map<std::string, std::string>& env, const std::string& body,
                                   int timeoutSeconds) {
    if (ClientProgram().empty()) {
        ADD_FAILURE() << "cgi-fcgi (Debian package libfcgi-bin) is not on PATH";
        return GatewayRun();
    }
    // Per process: processes forked by a test may send requests at the same time.
    std::string bodyPath = tmp_ + "/stdin." + std::to_string(::getpid());
    WriteFile(bodyPath, body);
    std::streamoff before = SizeOf(errPath_);
    GatewayRun run = Spawn(ClientProgram(), {"cgi-fcgi", "-bind", "-connect", socket_}, env, bodyPath, tmp_,
                           timeoutSeconds);
    ::unlink(bodyPath.c_str());
    if (run.timedOut && ::getpid() == owner_)
        Stop(SIGKILL);  // it may be stuck in the request
    int status = 0;
    if (Ended(status))
        run.exitCode = status;
    run.err += ReadFrom(errPath_, before);
    return run;
}

E2eSite::E2eSite(GatewayMode mode) : mode_(mode), owner_(::getpid()) {
    char tmpl[] = "/tmp/quorvel-e2e-XXXXXX";
    if (!::mkdtemp(tmpl))
        throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    ::chmod(dir_.c_str(), 0755);
}

E2eSite::~E2eSite() {
    StopGateway();
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
    std::map<std::string, std::string> all = PassThroughEnvironment();
    for (const auto& kv : env)
        all[kv.first] = kv.second;
    GatewayRun run;
    if (mode_ == GatewayMode::kFastCgi) {
        FastCgiGateway* gateway = Gateway(all);
        int status = 0;
        if (gateway)
            run = gateway->Request(all, body, timeoutSeconds);
        ExpectRedirectStatus(run.out);
        // A gateway that ended now (its status is the run's) is reported once, with this run.
        if (gateway && ::getpid() == owner_ && gateway->Ended(status)) {
            EXPECT_NE(status, 0) << "the site's FastCGI gateway exited while it served this request";
            gateway_.reset();
        }
    } else {
        // The body goes through a file so that a gateway that never reads it cannot block us.
        std::string bodyPath = dir_ + "/.stdin";
        WriteFile(bodyPath, body);
        run = Spawn(QUORVEL_BINARY, {QUORVEL_BINARY}, all, bodyPath, dir_, timeoutSeconds);
    }
    EXPECT_FALSE(run.timedOut) << "gateway did not finish within " << timeoutSeconds << " s";
    EXPECT_EQ(run.exitCode, exitCode) << "gateway exit status; stderr:\n" << run.err;
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    return run;
}

FastCgiGateway* E2eSite::Gateway(const std::map<std::string, std::string>& all) const {
    std::map<std::string, std::string> own;
    for (const char* name : kPassThrough) {
        auto it = all.find(name);
        if (it != all.end())
            own[name] = it->second;
    }
    if (::getpid() != owner_) {
        // A forked process shares the gateway its parent started; it cannot start its own.
        if (!gateway_)
            ADD_FAILURE() << "a forked process sends a request before the site's gateway was started "
                             "(StartGateway)";
        else if (gateway_->Environment() != own)
            ADD_FAILURE() << "a forked process cannot restart the site's gateway with another environment";
        return gateway_.get();
    }
    int status = 0;
    if (gateway_ && gateway_->Ended(status)) {
        ADD_FAILURE() << "the site's FastCGI gateway ended between requests, status " << status << ":\n"
                      << gateway_->Errors();
        gateway_.reset();
    }
    // The driver manager, the sanitizers and the programs' PATH read these from the process
    // environment, as a CGI process gets them at its start: a gateway started with others
    // cannot serve this request as its own process would.
    if (gateway_ && gateway_->Environment() != own)
        StopGateway();
    if (!gateway_)
        gateway_ = std::make_unique<FastCgiGateway>(dir_, own);
    return gateway_.get();
}

void E2eSite::StartGateway() const {
    if (mode_ == GatewayMode::kFastCgi)
        Gateway(PassThroughEnvironment());
}

void E2eSite::StopGateway() const {
    if (!gateway_ || ::getpid() != owner_)
        return;
    int status = gateway_->Stop();
    ExpectCleanEnd(status, gateway_->Errors(), "the site's FastCGI gateway");
    gateway_.reset();
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

HttpResponse Http(int port, const std::string& request) {
    HttpResponse r;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval timeout = {60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string raw;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        r.error = "connect failed";
    } else {
        size_t sent = 0;
        while (sent < request.size()) {
            ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
        char buf[16384];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
            raw.append(buf, static_cast<size_t>(n));
        if (n < 0)
            r.error = "receive failed or timed out";
    }
    ::close(fd);
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos || raw.compare(0, 5, "HTTP/") != 0) {
        r.error += " malformed response: " + raw.substr(0, 200);
        return r;
    }
    r.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
    std::istringstream head(raw.substr(0, end));
    std::string line;
    std::getline(head, line);
    while (std::getline(head, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        if (!value.empty() && value.back() == '\r')
            value.pop_back();
        r.headers[name] = value;
    }
    r.body = raw.substr(end + 4);
    return r;
}
