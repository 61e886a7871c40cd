#include "driver/HFastCgi.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include <fcgiapp.h>

#include "base/HRequest.h"
#include "database/HOdbc.h"
#include "driver/HDriver.h"

extern char** environ;

namespace quorvel {

namespace {

// One FastCGI request: its parameters are the CGI variables, its input stream the body,
// its output stream the response.
class HFastCgiRequest final : public HRequest {
public:
    explicit HFastCgiRequest(FCGX_Request& request) : request_(request) {}

    const char* Variable(const char* name) const override {
        auto set = changed_.find(name);
        if (set != changed_.end())
            return set->second.c_str();
        return FCGX_GetParam(name, request_.envp);
    }
    void SetVariable(const char* name, const std::string& value) override {
        changed_[name] = value;
        environment_.clear();
    }
    long ReadBody(char* buffer, std::size_t size) override {
        int n = FCGX_GetStr(buffer, static_cast<int>(size < INT_MAX ? size : INT_MAX), request_.in);
        if (n > 0 || FCGX_GetError(request_.in) == 0)
            return n;
        errno = EIO;
        return -1;
    }
    std::time_t Now() const override { return std::time(nullptr); }
    bool Send(std::string_view head, std::string_view body) override { return Put(head) && Put(body); }
    char* const* ProgramEnvironment() override {
        if (environment_.empty())
            BuildEnvironment();
        return environment_.data();
    }
    // The web server closing the connection (a hang-up, which a Unix socket reports at once
    // and a network socket once a write has failed) means that the client went away. The
    // end of the web server's input alone does not: some servers close their sending side
    // as soon as the request is sent.
    HClientWatch ClientWatch() const override { return HClientWatch{request_.ipcFd, 0}; }
    const char* RedirectStatus() const override { return "Status: 302 Found\n"; }
    void LogError(std::string_view line) override {
        FCGX_PutStr(line.data(), static_cast<int>(line.size() < INT_MAX ? line.size() : INT_MAX), request_.err);
        FCGX_PutChar('\n', request_.err);
    }

private:
    bool Put(std::string_view data) {
        while (!data.empty()) {
            int n = static_cast<int>(data.size() < INT_MAX ? data.size() : INT_MAX);
            if (FCGX_PutStr(data.data(), n, request_.out) != n)
                return false;
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // The request's variables, with the changes it made, and for names it lacks (PATH, HOME,
    // locale settings) the gateway's own environment, as a CGI program would have them.
    void BuildEnvironment() {
        strings_.clear();
        for (char** e = request_.envp; e && *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (eq && changed_.count(std::string(*e, static_cast<std::size_t>(eq - *e))))
                continue;
            strings_.emplace_back(*e);
        }
        for (const auto& kv : changed_)
            strings_.push_back(kv.first + "=" + kv.second);
        for (char** e = environ; e && *e; ++e) {
            const char* eq = std::strchr(*e, '=');
            if (!eq)
                continue;
            std::string name(*e, static_cast<std::size_t>(eq - *e));
            if (!changed_.count(name) && !FCGX_GetParam(name.c_str(), request_.envp))
                strings_.emplace_back(*e);
        }
        for (std::string& s : strings_)
            environment_.push_back(&s[0]);
        environment_.push_back(nullptr);
    }

    FCGX_Request& request_;
    std::map<std::string, std::string, std::less<>> changed_;
    std::vector<std::string> strings_;
    std::vector<char*> environment_;  // empty until a program asks for it
};

volatile std::sig_atomic_t stopRequested = 0;

void OnStop(int) {
    stopRequested = 1;
    FCGX_ShutdownPending();
}

bool IsUnixSocketAddress(const std::string& address) { return address.find(':') == std::string::npos; }

// A socket of `family` bound to `address` (of `size` bytes) and listening; -1 with errno.
int BindAndListen(int family, const sockaddr* address, socklen_t size) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    if (family != AF_UNIX)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, address, size) == 0 && ::listen(fd, SOMAXCONN) == 0)
        return fd;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// Listens on HOST:PORT, or on the Unix socket at a path. A socket file there that nobody
// answers on (left by a gateway that is gone) is replaced; a live socket, or a file of any
// other kind, is left alone and the gateway does not start. -1 with `error` on failure.
int Listen(const std::string& address, std::string& error) {
    if (IsUnixSocketAddress(address)) {
        sockaddr_un unix{};
        unix.sun_family = AF_UNIX;
        if (address.size() >= sizeof unix.sun_path) {
            error = "the path is too long for a socket";
            return -1;
        }
        address.copy(unix.sun_path, address.size());
        struct stat st;
        if (::lstat(address.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                error = "a file that is not a socket is there";
                return -1;
            }
            int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            bool live = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&unix), sizeof unix) == 0;
            if (probe >= 0)
                ::close(probe);
            if (live) {
                error = "another server listens there";
                return -1;
            }
            ::unlink(address.c_str());
        }
        int fd = BindAndListen(AF_UNIX, reinterpret_cast<sockaddr*>(&unix), sizeof unix);
        if (fd < 0)
            error = std::strerror(errno);
        return fd;
    }
    const std::size_t colon = address.rfind(':');
    std::string host = address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), address.c_str() + colon + 1, &hints, &found);
    if (rc != 0) {
        error = ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next)
        fd = BindAndListen(a->ai_family, a->ai_addr, a->ai_addrlen);
    if (fd < 0)
        error = std::strerror(errno);
    ::freeaddrinfo(found);
    return fd;
}

// The listening socket, moved away from standard input, which becomes /dev/null: the
// programs requests start must not inherit it. -1 with a message on failure.
int ListeningSocket(const HServerOptions& options) {
    int fd;
    if (options.address.empty()) {
        fd = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
    } else {
        std::string error;
        int bound = Listen(options.address, error);
        if (bound < 0) {
            std::fprintf(stderr, "quorvel: cannot listen on %s: %s\n", options.address.c_str(), error.c_str());
            return -1;
        }
        fd = ::fcntl(bound, F_DUPFD_CLOEXEC, 3);
        ::close(bound);
    }
    int null = ::open("/dev/null", O_RDONLY);
    if (fd < 0 || null < 0 || ::dup2(null, 0) < 0) {
        std::perror("quorvel: listening socket");
        return -1;
    }
    if (null != 0)
        ::close(null);
    // Several processes may share the socket: one that finds the connection taken by
    // another goes back to waiting instead of blocking in accept.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

bool StandardInputListens() {
    int listening = 0;
    socklen_t size = sizeof listening;
    return ::getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening;
}

int ServeFastCgi(const HServerOptions& options) {
    if (!options.site.empty() && ::chdir(options.site.c_str()) != 0) {
        std::fprintf(stderr, "quorvel: cannot serve %s: %s\n", options.site.c_str(), std::strerror(errno));
        return 1;
    }
    // A client that goes away must end neither the request nor the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (FCGX_Init() != 0) {
        std::fputs("quorvel: FastCGI library failed to start\n", stderr);
        return 1;
    }
    int listening = ListeningSocket(options);
    if (listening < 0)
        return 1;
    // The Unix socket file the gateway made itself, removed again at the end.
    struct stat made {};
    const bool madeSocket = !options.address.empty() && IsUnixSocketAddress(options.address) &&
                            ::lstat(options.address.c_str(), &made) == 0;
    sigset_t waiting = BlockStopSignals(OnStop);
    KeepConnections(true);

    FCGX_Request request;
    FCGX_InitRequest(&request, listening, 0);
    unsigned long served = 0;
    while (!stopRequested && (options.maxRequests == 0 || served < options.maxRequests)) {
        // A web server that keeps its connection open sends the next request on it; one
        // that opens a new connection instead gives up the kept one.
        pollfd ready[2] = {{listening, POLLIN, 0}, {request.ipcFd, POLLIN, 0}};
        const bool kept = request.ipcFd >= 0;
        if (::ppoll(ready, kept ? 2 : 1, nullptr, &waiting) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("quorvel: waiting for a request");
            break;
        }
        if (kept && ready[1].revents == 0) {
            // Closed at once: libfcgi's own close would wait for the web server to hang up.
            ::close(request.ipcFd);
            request.ipcFd = -1;
        }
        int rc = FCGX_Accept_r(&request);
        if (rc < 0) {
            if (rc == -EAGAIN || rc == -EWOULDBLOCK || rc == -EINTR || rc == -ECONNABORTED)
                continue;  // taken by another process, or given up by the web server
            std::fprintf(stderr, "quorvel: accepting a request: %s\n", std::strerror(-rc));
            break;
        }
        {
            HFastCgiRequest current(request);
            try {
                ServeRequest(current);
            } catch (const std::exception& e) {
                // Reported failures are handled inside; this is memory or the like running out.
                std::fprintf(stderr, "quorvel: request failed: %s\n", e.what());
            } catch (...) {
                std::fputs("quorvel: request failed\n", stderr);
            }
        }
        FCGX_Finish_r(&request);
        ReleaseConnections();
        ++served;
    }
    // The connections stay open to the end, as a CGI process leaves them: closing them would
    // only make the driver manager unload itself, which the process ending does at once.
    // A Unix socket the gateway made itself goes with it, unless another took its place.
    struct stat now;
    if (madeSocket && ::lstat(options.address.c_str(), &now) == 0 && now.st_dev == made.st_dev &&
        now.st_ino == made.st_ino)
        ::unlink(options.address.c_str());
    return 0;
}

}  // namespace quorvel
