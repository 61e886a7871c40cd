#include "driver/HFastCgi.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <exception>
#include <fcntl.h>
#include <linux/filter.h>
#include <map>
#include <set>
#include <poll.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <linux/close_range.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "base/HExcept.h"
#include "base/HRequest.h"
#include "config/HConfig.h"
#include "database/HConnections.h"
#include "driver/HDriver.h"
#include "driver/HFastCgiConnection.h"
#include "template/HFileIo.h"
#include "template/HSiteFiles.h"
#include "values/HContext.h"
#include "values/HValue.h"

extern char** environ;

namespace quorvel {

namespace {

// CGI meta-variables a request may hand on to the programs it starts, besides its HTTP_*
// names; any other name a client sends (PATH, LD_PRELOAD, ...) never reaches them.
constexpr const char* kMetaVariables[] = {
    "AUTH_TYPE", "CONTENT_LENGTH", "CONTENT_TYPE", "DOCUMENT_ROOT", "GATEWAY_INTERFACE", "HTTPS",
    "PATH_INFO", "PATH_TRANSLATED", "QUERY_STRING", "REMOTE_ADDR", "REMOTE_HOST", "REMOTE_IDENT",
    "REMOTE_PORT", "REMOTE_USER", "REQUEST_METHOD", "REQUEST_SCHEME", "REQUEST_URI", "SCRIPT_FILENAME",
    "SCRIPT_NAME", "SERVER_ADDR", "SERVER_NAME", "SERVER_PORT", "SERVER_PROTOCOL", "SERVER_SOFTWARE",
};

bool IsProgramVariable(std::string_view name) {
    if (name.size() > 5 && name.compare(0, 5, "HTTP_") == 0)
        return std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        });
    return std::any_of(std::begin(kMetaVariables), std::end(kMetaVariables),
                       [name](const char* meta) { return name == meta; });
}

// One FastCGI request: its parameters are the CGI variables, its body was read whole before
// it is served, its response goes out on the connection.
class HFastCgiRequest final : public HRequest {
public:
    explicit HFastCgiRequest(HFastCgiConnection& connection) : connection_(connection) {}

    const char* Variable(const char* name) const override {
        auto set = changed_.find(name);
        if (set != changed_.end())
            return set->second.c_str();
        return connection_.Param(name);
    }
    void SetVariable(const char* name, const std::string& value) override {
        changed_[name] = value;
        environment_.Clear();
    }
    long ReadBody(char* buffer, std::size_t size) override {
        std::string_view rest = connection_.Body().substr(bodyRead_);
        std::size_t n = rest.copy(buffer, size);
        bodyRead_ += n;
        return static_cast<long>(n);
    }
    std::time_t Now() const override { return std::time(nullptr); }
    bool Send(std::string_view head, std::string_view body) override { return connection_.Send({head, body}); }
    // The request's CGI meta-variables and HTTP_* names, with the changes it made; no other
    // name a client sends (PATH, LD_PRELOAD) reaches a program.
    char* const* ProgramEnvironment() override {
        if (!environment_.Built()) {
            for (const auto& kv : changed_)
                if (IsProgramVariable(kv.first))
                    environment_.Add(kv.first, kv.second);
            for (const auto& p : connection_.Params())
                if (IsProgramVariable(p.first))
                    environment_.Add(p.first, p.second);
        }
        return environment_.Finish();
    }
    // The web server closing the connection (a hang-up, which a Unix socket reports at once
    // and a network socket once a write has failed) means that the client went away. The
    // end of the web server's input alone does not: some servers close their sending side
    // as soon as the request is sent.
    HClientWatch ClientWatch() const override { return HClientWatch{connection_.Fd(), 0}; }
    const char* RedirectStatus() const override { return "Status: 302 Found\n"; }
    void LogError(std::string_view line) override { connection_.SendError({line, "\n"}); }

private:
    HFastCgiConnection& connection_;
    std::size_t bodyRead_ = 0;
    std::map<std::string, std::string, std::less<>> changed_;
    HProgramEnvironment environment_;
};

// How long a connection may take to send its request's parameters and body:
// `_REQUEST_TIMEOUT_` of the site's configuration file (seconds, default 30), read again
// whenever the file changes.
class HRequestTimeout {
public:
    double Seconds() {
        // The look the request that follows takes over, when the process keeps its files.
        HKeptConfiguration::Look look;
        if (const HKeptConfiguration::Look* ahead = LookAtConfiguration()) {
            look = *ahead;
        } else {
            struct stat st {};
            look.found = ::stat(kFile, &st) == 0;
            look.stamp = {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
        }
        const HFileStamp& st = look.stamp;
        const long long mark[] = {look.found, static_cast<long long>(st.ino), static_cast<long long>(st.size),
                                  st.modified.tv_sec * 1000000000LL + st.modified.tv_nsec,
                                  st.changed.tv_sec * 1000000000LL + st.changed.tv_nsec};
        if (read_ && std::equal(std::begin(mark), std::end(mark), mark_))
            return seconds_;
        std::copy(std::begin(mark), std::end(mark), mark_);
        read_ = true;
        seconds_ = kDefault;
        std::string text;
        try {
            HContext ctx;
            ReadConfiguration(ctx, kFile);
            const HValue* value = ctx.symbols.Lookup("_REQUEST_TIMEOUT_");
            if (!value)
                return seconds_;
            text = value->GetText();
        } catch (const HExcept&) {
            return seconds_;  // the requests report the faulty file
        }
        char* end = nullptr;
        const double seconds = std::strtod(text.c_str(), &end);
        if (!text.empty() && text.find_first_not_of("0123456789.") == std::string::npos && *end == '\0' &&
            seconds > 0 && seconds <= 86400)
            seconds_ = seconds;
        else
            std::fprintf(stderr, "quorvel: %s: _REQUEST_TIMEOUT_ must be seconds (up to 86400), not \"%s\"; %g s it is\n",
                         kFile, text.c_str(), kDefault);
        return seconds_;
    }

private:
    static constexpr const char* kFile = "quorvel.cfg";
    static constexpr double kDefault = 30;
    bool read_ = false;
    long long mark_[5] = {};
    double seconds_ = kDefault;
};

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reloadRequested = 0;

void OnStop(int) { stopRequested = 1; }
void OnReload(int) { reloadRequested = 1; }

// A reload: the process executes itself again, with the same arguments.
constexpr int kReloadSignal = SIGUSR2;

// How long a stopping gateway on a network socket waits, after its queue is empty, for a
// handshake already under way to end: a round trip, with room.
constexpr int kHandshakeGraceMs = 100;

// Set by a process that executes itself again for its new image: standard input is the
// listening socket it served on, followed by how many requests it served and the device
// and inode of the Unix socket file it made (0 0: none). Requests never set the gateway's
// own environment, and the new image removes it before anything runs.
constexpr const char kReloadMark[] = "QUORVEL_RELOADED";

// What a reloaded image takes over from the one before it.
struct HInherited {
    bool reloaded = false;
    unsigned long served = 0;
    unsigned long long dev = 0, ino = 0;  // of the Unix socket file made; 0 0: none
};

// Reads and removes kReloadMark; false, with a message, when it is there but malformed or
// standard input does not listen.
bool TakeReloadMark(HInherited& inherited) {
    const char* mark = std::getenv(kReloadMark);
    if (!mark)
        return true;
    int end = -1;
    inherited.reloaded = std::sscanf(mark, "%lu %llu %llu%n", &inherited.served, &inherited.dev, &inherited.ino,
                                     &end) == 3 && end >= 0 && mark[end] == '\0';
    ::unsetenv(kReloadMark);
    if (inherited.reloaded && StandardInputListens())
        return true;
    std::fprintf(stderr, "quorvel: %s is set, but not by a reloading gateway with its listening socket; "
                         "not serving\n", kReloadMark);
    return false;
}

// The signals that stop or reload the process.
constexpr int kStopOrReload[] = {SIGTERM, SIGINT, SIGHUP, kReloadSignal};

bool StopOrReloadPending() {
    sigset_t pending;
    if (::sigpending(&pending) != 0)
        return false;
    for (int s : kStopOrReload)
        if (sigismember(&pending, s))
            return true;
    return false;
}

// A descriptor that is readable while a stop or reload signal is pending, so that the wait
// for a connection tells whether one is; none when it cannot be made.
HFd PendingSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : kStopOrReload)
        sigaddset(&signals, s);
    return HFd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

// A stop or reload sent while connections kept coming: ppoll lets it through only when it
// waits, so with the signals that `waiting` lets through unblocked for a moment it is seen
// before the next connection is taken.
void TakePendingSignals(const sigset_t& waiting) {
    if (!StopOrReloadPending())
        return;
    sigset_t held;
    ::sigprocmask(SIG_SETMASK, &waiting, &held);
    ::sigprocmask(SIG_SETMASK, &held, nullptr);
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
    std::string host, port;
    if (!SplitHostPort(address, true, host, port, error))
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
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
    // Any free port: which one it is is said, as nothing else can tell.
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    char name[NI_MAXHOST], number[NI_MAXSERV];
    if (fd >= 0 && std::stoul(port) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0 &&
        ::getnameinfo(reinterpret_cast<sockaddr*>(&bound), size, name, sizeof name, number, sizeof number,
                      NI_NUMERICHOST | NI_NUMERICSERV) == 0)
        std::fprintf(stderr, bound.ss_family == AF_INET6 ? "quorvel: listening on [%s]:%s\n"
                                                          : "quorvel: listening on %s:%s\n", name, number);
    return fd;
}

// The listening socket, moved away from standard input, which becomes /dev/null: the
// programs requests start must not inherit it. Standard input is the socket when no address
// is given, and after a reload. -1 with a message on failure.
int ListeningSocket(const HServerOptions& options, bool reloaded) {
    int fd;
    if (options.address.empty() || reloaded) {
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

// Reads the next request on `connection` and serves it, or refuses it when too large.
// False when no request came (closed, or not whole in time): the connection is closed.
// At most `most` seconds are waited for it, besides the site's timeout.
bool ServeOne(HFastCgiConnection& connection, HRequestTimeout& timeout, const sigset_t* waiting,
              double most = 86400) {
    // The request's parameters and body must all arrive in time, within their bounds.
    const double seconds = std::min(timeout.Seconds(), most);
    timespec deadline;
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(seconds);
    deadline.tv_nsec += static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const HFastCgiRead read =
        connection.ReadRequest(deadline, kMaxParameters, static_cast<std::size_t>(kMaxBody), waiting);
    if (read == HFastCgiRead::kTimedOut)
        std::fprintf(stderr, "quorvel: a FastCGI connection sent no whole request within %g s; closed\n", seconds);
    if (read == HFastCgiRead::kTimedOut || read == HFastCgiRead::kClosed) {
        connection.Close();
        return false;
    }
    if (read == HFastCgiRead::kTooLarge) {
        // Refused before any of it is looked at: more than a body may hold.
        const std::string what = "parameters over " + std::to_string(kMaxParameters) + " or " +
                                 std::to_string(kMaxBody) + " bytes";
        std::fprintf(stderr, "quorvel: error %d, %s: %s\n", kErrQueryStringSyntax,
                     HExcept::MessageText(kErrQueryStringSyntax), what.c_str());
        connection.Send({"Status: 400 Bad Request\nContent-TYPE: text/html\n\n<HTML>Error " +
                         std::to_string(kErrQueryStringSyntax) + ": " +
                         HExcept::MessageText(kErrQueryStringSyntax) + "</HTML>\n"});
    } else {
        HFastCgiRequest current(connection);
        try {
            ServeRequest(current);
        } catch (const std::exception& e) {
            // Reported failures are handled inside; this is memory or the like running out.
            std::fprintf(stderr, "quorvel: request failed: %s\n", e.what());
        } catch (...) {
            std::fputs("quorvel: request failed\n", stderr);
        }
    }
    connection.EndRequest();
    ProcessConnections().Release();
    return true;
}

// The Unix socket file the gateway made, while it is still that file.
bool StillMade(const std::string& address, bool made, const struct stat& st) {
    struct stat now;
    return made && ::lstat(address.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

// An answer goes out in two writes, the page's records and then the records that end the
// request. On a TCP connection the second would wait until the web server acknowledged the
// first, which its kernel delays by up to 40 ms (seen behind HAProxy): send each at once.
// A Unix socket (`network` false) has no such delay to turn off.
int SendAtOnce(int fd, bool network) {
    int on = 1;
    if (network)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Whether the listening socket takes network connections (else Unix socket ones).
bool ListensOnNetwork(int listening) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    return ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
           address.ss_family != AF_UNIX;
}

// A process that ends on a socket of its own leaves no connection unserved that the kernel
// queued for it: once no new one can arrive (its Unix socket shut for reading; on a network
// socket, every new connection's first packet dropped, so that a client trying to connect is
// refused once the socket is closed), those already queued are served. A socket of the web
// server's, which other processes may share, keeps its queue for them.
void ServeQueued(int listening, const std::string& address, bool made, const struct stat& st,
                 HRequestTimeout& timeout) {
    const bool network = !IsUnixSocketAddress(address);
    if (!network) {
        // Refuses every later connect at once, and keeps those queued for accept.
        if (::shutdown(listening, SHUT_RD) != 0 && StillMade(address, made, st))
            ::unlink(address.c_str());
    } else {
        // Drops a SYN without ACK, the opening of a new connection, and lets the rest pass:
        // the last packet of a handshake under way must reach the socket, or the client would
        // hold a connection that the kernel never queued and resets when the socket closes.
        // The filter sees a TCP packet from its header on; its flags are byte 13.
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 13),
            BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0x12),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x02, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, 0),
            BPF_STMT(BPF_RET | BPF_K, 0xffffffffu),
        };
        sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
        if (::setsockopt(listening, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
            std::fprintf(stderr, "quorvel: closing %s to new connections: %s\n", address.c_str(), std::strerror(errno));
    }
    for (;;) {
        int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED))
            continue;
        if (fd < 0 && errno == EAGAIN && network) {
            // A handshake begun before the filter ends within a round trip: waited for that long.
            pollfd ready = {listening, POLLIN, 0};
            if (::poll(&ready, 1, kHandshakeGraceMs) > 0)
                continue;
        }
        if (fd < 0)
            return;  // none left (EAGAIN), or none to take
        // Its request has come with the connection, or a second later at most.
        HFastCgiConnection connection(SendAtOnce(fd, network));
        while (ServeOne(connection, timeout, nullptr, 1) && connection.HasBuffered()) {
            // requests the web server sent on at once
        }
    }
}

// The running binary's path, for a reload to execute what is installed there then.
std::string BinaryPath() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}

// Executes the gateway again, the binary now at `binary` (else the running one), with the
// arguments, environment and working directory it was started with, its listening socket
// as standard input. Returns only when that failed, with a message, in the state it was in.
void Reload(int listening, const std::string& binary, int startDir, const HServerOptions& options,
            unsigned long served, bool made, const struct stat& st) {
    std::string arguments;
    if (FILE* cmdline = std::fopen("/proc/self/cmdline", "re")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, cmdline)) > 0;)
            arguments.append(buffer, n);
        std::fclose(cmdline);
    }
    std::vector<char*> argv;
    for (std::size_t at = 0; at < arguments.size(); at = arguments.find('\0', at) + 1)
        argv.push_back(&arguments[at]);
    argv.push_back(nullptr);
    char mark[96];
    std::snprintf(mark, sizeof mark, "%lu %llu %llu", served, made ? static_cast<unsigned long long>(st.st_dev) : 0ULL,
                  made ? static_cast<unsigned long long>(st.st_ino) : 0ULL);
    int error = 0;
    // What the driver manager, the drivers or the site's logs hold open goes with the image.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    if (argv.size() < 2 || ::setenv(kReloadMark, mark, 1) != 0 || ::dup2(listening, 0) < 0 ||
        (startDir >= 0 && ::fchdir(startDir) != 0)) {
        error = argv.size() < 2 ? ENOENT : errno;
    } else {
        ::execv(binary.c_str(), argv.data());
        error = errno;
        std::fprintf(stderr, "quorvel: cannot execute %s (%s); reloading the running binary\n", binary.c_str(),
                     std::strerror(error));
        ::execv("/proc/self/exe", argv.data());
        error = errno;
    }
    std::fprintf(stderr, "quorvel: cannot reload (%s: %s); serving on as it is\n", binary.c_str(),
                 std::strerror(error));
    ::unsetenv(kReloadMark);
    int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, 0);
        ::close(null);
    }
    if (!options.site.empty() && ::chdir(options.site.c_str()) != 0)
        std::fprintf(stderr, "quorvel: back in %s: %s\n", options.site.c_str(), std::strerror(errno));
    HOwnFiles::KeepProcessFacts(true);  // standard input and the folder, as they are now
}

}  // namespace

bool StandardInputListens() {
    int listening = 0;
    socklen_t size = sizeof listening;
    return ::getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening;
}

int ServeFastCgi(const HServerOptions& options) {
    HInherited inherited;
    if (!TakeReloadMark(inherited))
        return 1;
    // Where it was started, for a reload to start from there again.
    const int startDir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string binary = BinaryPath();
    if (!options.site.empty() && ::chdir(options.site.c_str()) != 0) {
        std::fprintf(stderr, "quorvel: cannot serve %s: %s\n", options.site.c_str(), std::strerror(errno));
        return 1;
    }
    // A client that goes away must end neither the request nor the process.
    std::signal(SIGPIPE, SIG_IGN);
    int listening = ListeningSocket(options, inherited.reloaded);
    if (listening < 0)
        return 1;
    const bool network = ListensOnNetwork(listening);
    // The Unix socket file the gateway made itself (before a reload, too), removed again at
    // the end; a reload keeps it.
    struct stat made {};
    bool madeSocket = false;
    if (inherited.reloaded) {
        madeSocket = inherited.dev != 0 || inherited.ino != 0;
        made.st_dev = static_cast<dev_t>(inherited.dev);
        made.st_ino = static_cast<ino_t>(inherited.ino);
    } else {
        madeSocket = !options.address.empty() && IsUnixSocketAddress(options.address) &&
                     ::lstat(options.address.c_str(), &made) == 0;
    }
    // The stop and reload signals stay blocked (across a reload too, pending ones kept)
    // except while the process waits.
    sigset_t waiting = BlockStopSignals(OnStop);
    struct sigaction reload {};
    reload.sa_handler = OnReload;
    sigemptyset(&reload.sa_mask);
    ::sigaction(kReloadSignal, &reload, nullptr);
    sigset_t reloadSignal;
    sigemptyset(&reloadSignal);
    sigaddset(&reloadSignal, kReloadSignal);
    ::sigprocmask(SIG_BLOCK, &reloadSignal, nullptr);
    sigdelset(&waiting, kReloadSignal);
    ProcessConnections().Keep(true);
    KeepParsedFiles();
    HOwnFiles::KeepProcessFacts(true);

    HFastCgiConnection connection;
    HRequestTimeout timeout;
    const HFd signals = PendingSignals();
    unsigned long served = inherited.served;
    bool watchOdbc = true;  // until a reload for changed data-source files has failed
    for (;;) {
        if (options.maxRequests != 0 && served >= options.maxRequests)
            break;
        // A request the web server has already sent on its kept connection is served first.
        if (reloadRequested && !stopRequested && !connection.HasBuffered()) {
            if (reloadRequested == 1)
                std::fputs("quorvel: SIGUSR2: reloading\n", stderr);
            connection.Close();  // a kept connection, which the web server opens again
            Reload(listening, binary, startDir, options, served, madeSocket, made);
            watchOdbc = watchOdbc && reloadRequested != 2;
            reloadRequested = 0;
        }
        if (stopRequested && !connection.HasBuffered())
            break;
        // Data-source files changed since the driver manager read them (looked at when the
        // watch over them was `stirred`, or when they cannot be watched).
        const auto noticeOdbcChange = [&](bool stirred) {
            if (watchOdbc && !reloadRequested && ProcessConnections().ConfigurationChanged(stirred)) {
                std::fputs("quorvel: the ODBC data-source or driver files changed; reloading\n", stderr);
                reloadRequested = 2;
            }
        };
        bool signalled = true, stirred = true;
        // A web server that keeps its connection open sends the next request on it; one
        // that opens a new connection instead gives up the kept one.
        if (!connection.HasBuffered()) {
            const bool kept = connection.Open();
            pollfd ready[4] = {{listening, POLLIN, 0},
                               {signals.Get(), POLLIN, 0},
                               {watchOdbc ? ProcessConnections().ConfigurationWatch() : -1, POLLIN, 0},
                               {connection.Fd(), POLLIN, 0}};
            if (::ppoll(ready, kept ? 4 : 3, nullptr, &waiting) < 0) {
                if (errno == EINTR)
                    continue;
                std::perror("quorvel: waiting for a request");
                break;
            }
            signalled = !signals || ready[1].revents != 0;
            stirred = ready[2].revents != 0;
            if (ready[0].revents == 0 && (!kept || ready[3].revents == 0)) {
                // Woken by a signal or a data-source file alone: seen to, then waited again.
                if (signalled)
                    TakePendingSignals(waiting);
                if (stirred)
                    noticeOdbcChange(true);
                continue;
            }
            if (kept && ready[3].revents == 0)
                connection.Close();
        }
        if (!connection.Open()) {
            // Before every connection taken: a stop or reload already sent, or data-source
            // files changed since the driver manager read them.
            if (signalled)
                TakePendingSignals(waiting);
            noticeOdbcChange(stirred);
            if (stopRequested || reloadRequested)
                continue;
            int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
                    continue;  // taken by another process, or given up by the web server
                std::fprintf(stderr, "quorvel: accepting a connection: %s\n", std::strerror(errno));
                break;
            }
            connection.Adopt(SendAtOnce(fd, network));
        }
        // A stop while a request arrives lets it arrive, a second more at most.
        if (ServeOne(connection, timeout, &waiting))
            ++served;
    }
    connection.Close();
    if (!options.address.empty())
        ServeQueued(listening, options.address, madeSocket, made, timeout);
    // The connections stay open to the end, as a CGI process leaves them: closing them would
    // only make the driver manager unload itself, which the process ending does at once.
    // A Unix socket the gateway made itself goes with it, unless another took its place.
    if (StillMade(options.address, madeSocket, made))
        ::unlink(options.address.c_str());
    return 0;
}

}  // namespace quorvel
