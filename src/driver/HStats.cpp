#include "driver/HStats.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "template/HFileIo.h"

namespace {

constexpr int kRetryMilliseconds = 50;
constexpr int kMaxWaitMilliseconds = 10000;

// Owns a file descriptor.
class FileHandle {
public:
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool LockWithin(int fd, int milliseconds) {
    for (int waited = 0;; waited += kRetryMilliseconds) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (waited >= milliseconds)
            return false;
        ::usleep(kRetryMilliseconds * 1000);
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

}  // namespace

std::string FormatStatistics(const HContext& ctx, const HExcept* error, std::time_t now) {
    std::tm t;
    gmtime_r(&now, &t);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d ", t.tm_mon + 1, t.tm_mday,
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    std::string line = stamp;
    if (const HValue* path = ctx.symbols.Lookup("_PATH_INFO_"))
        AppendOnOneLine(line, path->GetText());
    if (const HValue* query = ctx.symbols.Lookup("_QUERY_STRING_")) {
        std::string text = query->GetText();
        if (!text.empty())
            AppendOnOneLine(line, "?" + text);
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
    try {
        std::string name = "qvstat.log";
        if (const HValue* file = ctx.symbols.Lookup("_STAT_FILE_"))
            name = file->GetText();
        FileHandle fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (fd.get() < 0 || !LockWithin(fd.get(), kMaxWaitMilliseconds))
            return;
        std::string line = FormatStatistics(ctx, error, std::time(nullptr));
        WriteAll(fd.get(), line.data(), line.size());
        // Closing the descriptor releases the lock for the next waiting request.
    } catch (const HExcept&) {
    }
}
