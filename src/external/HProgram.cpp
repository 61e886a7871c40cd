#include "external/HProgram.h"

#include "base/HExcept.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quorvel {

namespace {

// How long one wait for output lasts before the reader checks whether the program has
// exited while something else still holds the pipe open.
constexpr int kPollMs = 50;
constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";
// Signals that tell the gateway to stop; it ends its programs first (OnStopSignal).
constexpr int kStopSignals[] = {SIGTERM, SIGHUP, SIGINT};
bool stopHandled[3];  // whether OnStopSignal is installed for kStopSignals[i]

// Everything the child needs, prepared before the fork so that the child only makes
// async-signal-safe calls.
struct LaunchPlan {
    std::vector<std::string> args;
    std::vector<std::string> candidates;  // files to try with execve, in order
    std::vector<char*> argv;
    std::vector<char*> envp;
    int maxFd = 1024;  // fallback bound for closing descriptors
};

bool SkippedVariable(const char* entry) {
    static const char kProxy[] = "HTTP_PROXY";
    const std::size_t len = sizeof kProxy - 1;
    return std::strncmp(entry, kProxy, len) == 0 && (entry[len] == '=' || entry[len] == '\0');
}

// The value of PATH in `environment`, or nullptr.
const char* SearchPath(char* const* environment) {
    for (char* const* e = environment; e && *e; ++e)
        if (std::strncmp(*e, "PATH=", 5) == 0)
            return *e + 5;
    return nullptr;
}

std::vector<std::string> SearchCandidates(const std::string& name, char* const* environment) {
    if (name.find('/') != std::string::npos)
        return {name};
    const char* path = SearchPath(environment);
    std::string dirs = path ? path : kDefaultSearchPath;
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        out.push_back((dir.empty() ? std::string(".") : dir) + "/" + name);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

// Child side of the fork: never returns. Reports an exec failure's errno on `statusFd`.
[[noreturn]] void ExecChild(LaunchPlan& plan, int writeFd, int statusFd) {
    setpgid(0, 0);

    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGCHLD, &dfl, nullptr);
    for (int i = 0; i < 3; ++i)
        if (stopHandled[i])
            sigaction(kStopSignals[i], &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    int err = 0;
    if (writeFd == STDOUT_FILENO) {
        if (fcntl(writeFd, F_SETFD, 0) < 0)
            err = errno;
    } else if (dup2(writeFd, STDOUT_FILENO) < 0) {
        err = errno;
    }

    // Close every descriptor above standard error except the status pipe, which closes
    // itself on exec.
    if (err == 0) {
        bool closed = (statusFd <= 3 || close_range(3, statusFd - 1, 0) == 0) &&
                      close_range(statusFd + 1, ~0U, 0) == 0;
        if (!closed) {
            for (int fd = 3; fd < plan.maxFd; ++fd)
                if (fd != statusFd)
                    close(fd);
        }
        err = ENOENT;
        for (const std::string& file : plan.candidates) {
            execve(file.c_str(), plan.argv.data(), plan.envp.data());
            if (errno == EACCES)
                err = EACCES;
            else if (errno != ENOENT && errno != ENOTDIR) {
                err = errno;
                break;
            }
        }
    }
    ssize_t ignored = write(statusFd, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

void SleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Process groups of the programs running now, for the stop-signal handler (0 = free slot).
// A request runs one program at a time; the few slots only serve callers that keep more.
volatile sig_atomic_t liveGroups[8];

void AddLiveGroup(pid_t pid) noexcept {
    for (auto& slot : liveGroups)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

void RemoveLiveGroup(pid_t pid) noexcept {
    for (auto& slot : liveGroups)
        if (slot == pid)
            slot = 0;
}


// The gateway is told to stop: end the programs' groups as HChildProcess::Finish does
// (SIGTERM, a grace, SIGKILL), then die of the signal as before. Async-signal-safe.
void OnStopSignal(int sig) {
    bool any = false;
    for (auto& slot : liveGroups)
        if (slot > 0) {
            kill(-slot, SIGTERM);
            any = true;
        }
    for (int waited = 0; any && waited < HChildProcess::kGraceMs; waited += 10) {
        any = false;
        for (auto& slot : liveGroups) {
            siginfo_t info;
            info.si_pid = 0;
            if (slot > 0 && waitid(P_PID, slot, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0)
                any = true;  // still running
        }
        if (any)
            SleepMs(10);
    }
    for (auto& slot : liveGroups)
        if (slot > 0)
            kill(-slot, SIGKILL);
    signal(sig, SIG_DFL);
    raise(sig);  // delivered when the handler returns
}

void HandleStopSignals() {
    static bool done = false;
    if (done)
        return;
    done = true;
    for (int i = 0; i < 3; ++i) {
        struct sigaction old;
        // A stop the gateway was started to ignore stays ignored, and one it handles itself
        // (serving many requests, it finishes the current one first) stays its own.
        if (sigaction(kStopSignals[i], nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
            (old.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction act;
        std::memset(&act, 0, sizeof act);
        act.sa_handler = OnStopSignal;
        sigemptyset(&act.sa_mask);
        for (int s : kStopSignals)
            sigaddset(&act.sa_mask, s);
        stopHandled[i] = sigaction(kStopSignals[i], &act, nullptr) == 0;
    }
}

HStartedProgram StartProgram(const std::string& programPath, const std::vector<std::string>& args,
                             char* const* environment);
HProgramStarter currentStarter = StartProgram;

}  // namespace

HChildProcess::HChildProcess(pid_t pid) noexcept : pid_(pid) {
    if (pid_ > 0)
        AddLiveGroup(pid_);
}

HChildProcess::HChildProcess(HChildProcess&& other) noexcept
    : pid_(other.pid_), gone_(other.gone_) {
    other.pid_ = -1;
}

HChildProcess& HChildProcess::operator=(HChildProcess&& other) noexcept {
    if (this != &other) {
        Finish();
        pid_ = other.pid_;
        gone_ = other.gone_;
        other.pid_ = -1;
    }
    return *this;
}

bool HChildProcess::HasExited() noexcept {
    if (pid_ < 0 || gone_)
        return true;
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid_;
        if (errno != EINTR) {
            gone_ = true;  // not our child any more (reaped automatically)
            return true;
        }
    }
}

bool HChildProcess::WaitForExit(int timeoutMs) noexcept {
    int waited = 0, step = 1;
    while (!HasExited()) {
        if (waited >= timeoutMs)
            return false;
        SleepMs(step);
        waited += step;
        step = step < 10 ? step * 2 : 10;
    }
    return true;
}

void HChildProcess::Finish(int graceMs, bool endNow) noexcept {
    if (pid_ < 0)
        return;
    if (endNow || !WaitForExit(graceMs)) {
        kill(-pid_, SIGTERM);
        kill(pid_, SIGTERM);
        if (!WaitForExit(graceMs))
            kill(pid_, SIGKILL);
    }
    if (!gone_) {
        // The child is dead but not reaped, so its group id is still reserved: whatever it
        // left running in its group goes too.
        kill(-pid_, SIGKILL);
        RemoveLiveGroup(pid_);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    RemoveLiveGroup(pid_);
    pid_ = -1;
}

std::vector<std::string> HProgram::SplitCommandLine(std::string_view line) {
    std::vector<std::string> args;
    std::string current;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                args.push_back(std::move(current));
            current.clear();
            inWord = false;
        } else {
            current += c;
            inWord = true;
        }
    }
    if (inWord)
        args.push_back(std::move(current));
    return args;
}

namespace {

// The real start: fork and execute. The stop signals stay blocked from the fork until the
// child's group is on the list the handler ends, so that no stop can miss it.
HStartedProgram StartProgram(const std::string& programPath, const std::vector<std::string>& args,
                             char* const* environment) {
    HStartedProgram started;
    LaunchPlan plan;
    plan.args = args;
    if (programPath.empty()) {
        plan.candidates = SearchCandidates(plan.args[0], environment);
    } else {
        plan.candidates = {programPath};
        if (plan.args.empty())
            plan.args.push_back(programPath);
    }
    for (std::string& a : plan.args)
        plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);
    for (char* const* e = environment; e && *e; ++e)
        if (!SkippedVariable(*e))
            plan.envp.push_back(*e);
    plan.envp.push_back(nullptr);
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
        plan.maxFd = static_cast<int>(lim.rlim_cur < 65536 ? lim.rlim_cur : 65536);

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) < 0) {
        started.error = errno;
        return started;
    }
    HFd readEnd(ends[0]), writeEnd(ends[1]);
    if (pipe2(ends, O_CLOEXEC) < 0) {
        started.error = errno;
        return started;
    }
    HFd statusRead(ends[0]), statusWrite(ends[1]);

    HandleStopSignals();
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int s : kStopSignals)
        sigaddset(&stops, s);
    sigprocmask(SIG_BLOCK, &stops, &old);
    pid_t pid = fork();
    if (pid == 0)
        ExecChild(plan, writeEnd.Get(), statusWrite.Get());
    if (pid > 0) {
        setpgid(pid, pid);  // also done by the child: whichever runs first
        started.child = HChildProcess(pid);
    }
    const int forkError = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        started.error = forkError;
        return started;
    }
    writeEnd.Reset();
    statusWrite.Reset();

    int err = 0;
    ssize_t got;
    do {
        got = read(statusRead.Get(), &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    if (got == 0)  // else exec failed (or the status could not be read): the child is reaped
        started.output = std::move(readEnd);
    else
        started.error = got == sizeof err ? err : EIO;
    return started;
}

}  // namespace

HProgramStarter SetProgramStarter(HProgramStarter starter) noexcept {
    HProgramStarter previous = currentStarter;
    currentStarter = starter ? starter : StartProgram;
    return previous;
}

HProgram::HProgram(const std::string& programPath, std::vector<std::string> args, std::string commandLine,
                   HProgramLimits limits, HRequest& request)
    : commandLine_(std::move(commandLine)), limits_(limits), request_(request), watch_(request.ClientWatch()) {
    if (request_.ClientGone())
        Fail("the client went away");
    if (programPath.empty() && (args.empty() || args[0].empty()))
        Fail("no program named");
    double ms = limits_.seconds * 1000;
    deadlineMs_ = NowMs() + (ms < 1e12 ? static_cast<long long>(ms) : 1000000000000LL);
    HStartedProgram started = currentStarter(programPath, args, request_.ProgramEnvironment());
    child_ = std::move(started.child);
    if (!started.output)
        Fail(started.error == EACCES   ? "not executable (permission denied)"
             : started.error == ENOENT ? "program not found"
             : started.error           ? std::strerror(started.error)
                                       : "could not be started");
    output_ = std::move(started.output);
}

HProgram::HProgram(const std::string& programPath, const std::string& commandLine, HProgramLimits limits,
                   HRequest& request)
    : HProgram(programPath, SplitCommandLine(commandLine), commandLine, limits, request) {}

HProgram::~HProgram() {
    output_.Reset();
    child_.Finish(HChildProcess::kGraceMs, overrun_);
}

void HProgram::Overrun() {
    overrun_ = true;
    Fail(request_.ClientGone() ? "the client went away"
         : NowMs() >= deadlineMs_ ? "did not answer within its time limit"
                                   : "its answer went over its size limit");
}

void HProgram::Fail(std::string cause) const {
    HExcept failed(kErrExternalFailed, commandLine_);
    failed.cause = std::move(cause);
    throw failed;
}

std::size_t HProgram::ReadSome(char* buffer, std::size_t max) {
    bool exited = false;
    for (;;) {
        long long left = deadlineMs_ - NowMs();
        if (left <= 0)
            Overrun();  // the answer is not finished in time
        // The client's connection is watched too: only an error, a hang-up or the events the
        // request names (the client went away) are reported on it.
        pollfd p[2] = {{output_.Get(), POLLIN, 0}, {watch_.fd, watch_.events, 0}};
        int ready = poll(p, p[1].fd >= 0 ? 2 : 1, exited ? 0 : static_cast<int>(left < kPollMs ? left : kPollMs));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            Fail(std::strerror(errno));
        }
        if (p[1].revents & (POLLERR | POLLHUP | watch_.events)) {
            request_.MarkClientGone();
            Overrun();
        }
        if (p[0].revents == 0) {
            // Nothing to read yet. Once the program itself has exited and the pipe is still
            // empty, its output has ended, even if a process it left behind holds the pipe.
            if (exited)
                return 0;
            exited = child_.HasExited();
            continue;
        }
        ssize_t n = read(output_.Get(), buffer, max);
        if (n >= 0)
            return static_cast<std::size_t>(n);
        if (errno != EINTR && errno != EAGAIN)
            Fail(std::strerror(errno));
    }
}

void HProgram::ReadUntilTerminator(const std::function<void(std::string_view)>& write) {
    char buffer[kChunk];
    std::size_t written = 0;
    for (;;) {
        std::size_t n = ReadSome(buffer, sizeof buffer);
        if (n == 0)
            Fail("its output ended before the end-of-answer byte");
        const void* end = std::memchr(buffer, kTerminator, n);
        std::size_t len = end ? static_cast<const char*>(end) - buffer : n;
        if (len > limits_.maxOutput - written)
            Overrun();  // nothing beyond the limit reaches the page
        written += len;
        if (len > 0)
            write(std::string_view(buffer, len));
        if (end)
            return;
    }
}

std::string HProgram::ReadExactly(std::size_t n) {
    std::string out(n, '\0');
    std::size_t got = 0;
    while (got < n) {
        std::size_t k = ReadSome(&out[got], n - got);
        if (k == 0)
            break;
        got += k;
    }
    if (n > 0 && got == 0)
        Fail("it wrote nothing");
    out.resize(got);
    return out;
}

}  // namespace quorvel
