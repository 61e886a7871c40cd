#include "template/HSiteFiles.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "template/HInput.h"

namespace quorvel {

namespace {


std::string Resolved(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? buffer : "";
}

bool StartsWithFolder(const std::string& path, std::string folder) {
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

bool UnderSystemFolder(const std::string& resolved) {
    for (const char* folder : {"/proc", "/dev"})
        if (resolved == folder || StartsWithFolder(resolved, folder))
            return true;
    return false;
}

// Whether `path`, its symbolic links followed one at a time, enters /proc or /dev (or
// cannot be followed). Checked before each step, so that a link of /proc (/proc/self/fd/0,
// /proc/self/cwd) is never followed to the file it stands for.
bool ReachesSystemFolder(const std::string& path, const std::string& cwd) {
    std::string pending = path;
    std::string done;  // the physical path resolved so far; "" is the root
    if (path[0] != '/') {
        // The working directory as the system names it holds no link to follow.
        done = cwd;
        if (done.empty() || UnderSystemFolder(done))
            return true;
        if (done == "/")
            done.clear();
    }
    int links = 0;
    for (size_t i = 0; i < pending.size();) {
        size_t end = pending.find('/', i);
        if (end == std::string::npos)
            end = pending.size();
        std::string part = pending.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            done.erase(std::min(done.size(), done.rfind('/')));
            continue;
        }
        std::string next = done + "/" + part;
        struct stat st;
        if (UnderSystemFolder(next) || ::lstat(next.c_str(), &st) != 0)
            return true;
        if (!S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        char target[PATH_MAX];
        ssize_t n = ::readlink(next.c_str(), target, sizeof target);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof target) || ++links > 40)
            return true;
        if (target[0] == '/')
            done.clear();
        pending = std::string(target, static_cast<size_t>(n)) + "/" + (i < pending.size() ? pending.substr(i) : "");
        i = 0;
    }
    return false;
}

// Whether the file `in` reads is the gateway's standard input or one of its own files.
bool IsRefused(const HInput& in, const HOwnFiles& own) {
    return own.Contains(in.Device(), in.Inode()) || own.IsStandardInput(in.Device(), in.Inode());
}

// Whether `folder`, relative, is the working directory itself: "." and slashes only.
bool IsWorkingDirectory(const std::string& folder) {
    return folder[0] != '/' && folder.find_first_not_of("./") == std::string::npos &&
           folder.find("..") == std::string::npos;
}

}  // namespace

void HOwnFiles::Add(const std::string& path) {
    struct stat st;
    if (!path.empty() && ::stat(path.c_str(), &st) == 0)
        files_.push_back({path, st.st_dev, st.st_ino});
}

bool HOwnFiles::Contains(dev_t dev, ino_t ino) const {
    return std::any_of(files_.begin(), files_.end(), [&](const File& f) { return f.dev == dev && f.ino == ino; });
}

bool HOwnFiles::Identity(const std::string& path, dev_t& dev, ino_t& ino) const {
    for (const File& f : files_) {
        if (f.path == path) {
            dev = f.dev;
            ino = f.ino;
            return true;
        }
    }
    return false;
}

namespace {

bool keepProcessFacts = false;
HOwnFiles::Facts processFacts;

}  // namespace

void HOwnFiles::KeepProcessFacts(bool keep) {
    keepProcessFacts = keep;
    processFacts = Facts();
}

HOwnFiles::Facts& HOwnFiles::Taken() const { return keepProcessFacts ? processFacts : facts_; }

const std::string& HOwnFiles::WorkingDirectory() const {
    Facts& facts = Taken();
    if (!facts.cwdTaken) {
        facts.cwd = CurrentDirectory();
        facts.cwdTaken = true;
    }
    return facts.cwd;
}

bool HOwnFiles::IsStandardInput(dev_t dev, ino_t ino) const {
    Facts& facts = Taken();
    if (facts.inputTaken == 0) {
        struct stat st {};
        facts.inputTaken = ::fstat(0, &st) == 0 ? 1 : -1;
        facts.inputDev = st.st_dev;
        facts.inputIno = st.st_ino;
    }
    return facts.inputTaken == 1 && dev == facts.inputDev && ino == facts.inputIno;
}

std::unique_ptr<HInput> OpenPageFile(const std::string& path, const HOwnFiles& own) {
    if (path.empty())
        return nullptr;
    const std::string& cwd = own.WorkingDirectory();
    std::unique_ptr<HInput> in;
    // A relative path that stays in the working directory, which lies under neither /proc
    // nor /dev, and passes no symbolic link is opened at once; a link is followed one step
    // at a time.
    if (path[0] != '/' && !cwd.empty() && !UnderSystemFolder(cwd))
        in = HInput::OpenFile(path, HInput::kBeneath);
    if (!in && ReachesSystemFolder(path, cwd))
        return nullptr;
    // HInput opens regular files only (without blocking), and says which file it opened.
    if (!in)
        in = HInput::OpenFile(path);
    if (in && IsRefused(*in, own))
        return nullptr;
    return in;
}

bool IsPageFile(const std::string& path, const HOwnFiles& own, const HFileStamp& stamp) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    const std::string& cwd = own.WorkingDirectory();
    // A relative path without `..` in the working directory, which lies under neither /proc
    // nor /dev: each folder on the way is looked at (no link), then the name itself.
    bool plain = path[0] != '/' && !cwd.empty() && !UnderSystemFolder(cwd);
    struct stat st;
    size_t begin = 0;
    for (size_t end; plain && (end = path.find('/', begin)) != std::string::npos; begin = end + 1) {
        const std::string_view part(path.data() + begin, end - begin);
        if (part.empty() || part == ".")
            continue;
        plain = part != ".." && ::lstat(path.substr(0, end).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    // The name last is not followed: a link there is opened as OpenPageFile opens it.
    if (plain && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return HFileStamp::Of(st) == stamp && !own.Contains(st.st_dev, st.st_ino) &&
               !own.IsStandardInput(st.st_dev, st.st_ino);
    std::unique_ptr<HInput> in = OpenPageFile(path, own);
    return in && in->Stamp() == stamp;
}

std::string WhyNotOpened(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == EACCES ? "permission denied" : "not found";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (::access(path.c_str(), R_OK) != 0)
        return "permission denied";
    return "not a page file";
}

std::string FilePosition(const std::string& path, size_t offset) {
    std::unique_ptr<HInput> in = HInput::OpenFile(path);
    if (!in)
        return path;
    size_t line = 1, column = 1;
    // Offsets count CR LF as two bytes; the stream delivers it as one LF.
    while (in->Offset() < offset) {
        int c = in->Get();
        if (c == HInput::kEof)
            break;
        if (c == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return path + ":" + std::to_string(line) + ":" + std::to_string(column);
}

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

bool IsInsideFolder(const std::string& path, const std::string& folder, const std::string& cwd) {
    if (path.empty() || path[0] != '/')
        return true;
    if (folder.empty())
        return false;
    // The working directory as the system names it has no link to resolve.
    if (IsWorkingDirectory(folder))
        return !cwd.empty() && StartsWithFolder(path, cwd);
    std::string absolute = folder[0] == '/' ? folder : cwd + "/" + folder;
    if (StartsWithFolder(path, absolute))
        return true;
    // A relative folder is resolved from the working directory, whose own parts need not be.
    std::string resolved = Resolved(folder);
    return !resolved.empty() && StartsWithFolder(path, resolved);
}

}  // namespace quorvel
