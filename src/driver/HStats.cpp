#include "driver/HStats.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <time.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/HConfig.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "base/HRequest.h"
#include "template/HFileIo.h"
#include "template/HSiteFiles.h"

namespace quorvel {

namespace {

constexpr int kMaxWaitSeconds = 10;

void Interrupt(int) {}

// While it lives, SIGALRM interrupts a blocking call after `seconds` and then every
// second (in case the first one came just before the call), without restarting it. The
// signal's previous disposition and mask are restored at the end.
class WaitBound {
public:
    explicit WaitBound(int seconds) {
        struct sigaction action {};
        action.sa_handler = Interrupt;  // no SA_RESTART: the blocked call returns EINTR
        sigemptyset(&action.sa_mask);
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        struct sigevent event {};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGALRM;
        struct itimerspec when {};
        when.it_value.tv_sec = seconds;
        when.it_interval.tv_sec = 1;
        handled_ = ::sigaction(SIGALRM, &action, &saved_) == 0;
        unblocked_ = handled_ && ::sigprocmask(SIG_UNBLOCK, &alarm, &savedMask_) == 0;
        created_ = unblocked_ && ::timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;
        armed_ = created_ && ::timer_settime(timer_, 0, &when, nullptr) == 0;
    }
    ~WaitBound() {
        if (created_)
            ::timer_delete(timer_);
        if (unblocked_)
            ::sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
        if (handled_)
            ::sigaction(SIGALRM, &saved_, nullptr);
    }
    WaitBound(const WaitBound&) = delete;
    WaitBound& operator=(const WaitBound&) = delete;
    // Whether the bound holds; without it the caller must not block.
    bool Armed() const { return armed_; }

private:
    struct sigaction saved_ {};
    sigset_t savedMask_{};
    timer_t timer_{};
    bool handled_ = false, unblocked_ = false, created_ = false, armed_ = false;
};

// Takes the exclusive lock, waiting in the kernel for at most `seconds`: as long as the
// writer before holds it, no longer.
bool LockWithin(int fd, int seconds) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    if (errno != EWOULDBLOCK)
        return false;
    WaitBound bound(seconds);
    if (!bound.Armed())
        return false;
    timespec start, now;
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (::flock(fd, LOCK_EX) == 0)
            return true;
        if (errno != EINTR)
            return false;
        // Another signal may also have interrupted the wait: go on until the time is up.
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec + (now.tv_nsec - start.tv_nsec) / 1e9 >= seconds)
            return false;
    }
}

// Appends `text` with each CR and LF written as a blank: a record is one line, also when
// the request path, the query or an error detail (multi-line SQL text) holds line ends.
void AppendOnOneLine(std::string& line, const std::string& text) {
    size_t start = line.size();
    line += text;
    for (size_t i = start; i < line.size(); ++i)
        if (line[i] == '\r' || line[i] == '\n')
            line[i] = ' ';
}

// The variable `symbol`, or, before the configuration defined it (a fault in the file), the
// request's CGI variable `cgi` it comes from; nothing when neither is there.
std::optional<std::string> RequestText(const HContext& ctx, const char* symbol, const char* cgi) {
    if (const HValue* value = ctx.symbols.Lookup(symbol))
        return value->GetText();
    const char* text = ctx.request ? ctx.request->Variable(cgi) : nullptr;
    if (!text)
        return std::nullopt;
    return std::string(text);
}

}  // namespace

std::string FormatStatistics(const HContext& ctx, const HExcept* error, std::time_t now) {
    std::tm t;
    gmtime_r(&now, &t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d ", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    std::string line = stamp;
    if (auto path = RequestText(ctx, "_PATH_INFO_", "PATH_INFO"))
        AppendOnOneLine(line, *path);
    if (auto query = RequestText(ctx, "_QUERY_STRING_", "QUERY_STRING")) {
        if (!query->empty())
            AppendOnOneLine(line, "?" + *query);
    }
    if (error) {
        line += " ";
        line += error->Message();
        if (!error->detail.empty())
            AppendOnOneLine(line, ": " + error->detail);
    }
    line += "\r\n";
    return line;
}

void WriteStatistics(const HContext& ctx, const HExcept* error) {
    // The log the last record went to, kept open for the next request of the process.
    static struct {
        HFd fd;
        dev_t dev = 0;
        ino_t ino = 0;
    } kept;
    try {
        std::string name = kStatisticsLog;
        if (const HValue* file = ctx.symbols.Lookup("_STAT_FILE_"))
            name = file->GetText();
        // The kept descriptor serves while the name still named its file when the request
        // began (the request's own files were looked at then); a log renamed or removed
        // since, or another name, is opened anew.
        dev_t dev = 0;
        ino_t ino = 0;
        const bool known = ctx.ownFiles.Identity(name, dev, ino);
        if (!kept.fd || !known || dev != kept.dev || ino != kept.ino) {
            kept.fd.Reset(::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
            struct stat st;
            if (!kept.fd || (!known && ::fstat(kept.fd.Get(), &st) != 0)) {
                kept.fd.Reset();
                return;
            }
            kept.dev = known ? dev : st.st_dev;
            kept.ino = known ? ino : st.st_ino;
        }
        if (!LockWithin(kept.fd.Get(), kMaxWaitSeconds))
            return;
        std::string line = FormatStatistics(ctx, error, ctx.request->Now());
        WriteAll(kept.fd.Get(), line.data(), line.size());
        ::flock(kept.fd.Get(), LOCK_UN);  // for the next waiting writer
    } catch (...) {
    }
}

}  // namespace quorvel
