// HSiteFiles: which files a request may have read as a page.
//
// The request names its template (PATH_INFO), so the gateway opens it only inside the
// site, and never reads a device, a file of /proc or its own standard input (a web server
// may hand a request body over there as a regular temporary file) as a template or an
// inclusion: the body would otherwise run as the page.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quorvel {

class HInput;
struct HFileStamp;

// The gateway's own files (the configuration file, the debug log, the statistics log) by
// device and inode: never read as a page, whatever name reaches them. A debug log holds a
// visitor's words, and would run them. It also names the working directory that relative
// page paths start from and the standard input, asked of the system once for all the
// pages of a request.
class HOwnFiles {
public:
    // Adds the file `path` names, when it exists.
    void Add(const std::string& path);
    // Adds the file `path` names, known to be (dev, ino).
    void Add(const std::string& path, dev_t dev, ino_t ino) { files_.push_back({path, dev, ino}); }
    bool Contains(dev_t dev, ino_t ino) const;
    // The file `path` named when it was added, by device and inode; false when it was not
    // added or named none.
    bool Identity(const std::string& path, dev_t& dev, ino_t& ino) const;
    // CurrentDirectory(), taken at the first call.
    const std::string& WorkingDirectory() const;
    // Whether (dev, ino) is the gateway's standard input, as it was at the first call.
    bool IsStandardInput(dev_t dev, ino_t ino) const;
    // A process that serves request after request changes neither its working directory nor
    // its standard input between them: with `keep`, both are asked of the system once for
    // all its requests (taken again after each call, which one that changes them makes).
    static void KeepProcessFacts(bool keep);

    // The working directory and standard input, each taken when first asked for.
    struct Facts {
        std::string cwd;
        bool cwdTaken = false;
        int inputTaken = 0;  // 0: not looked at; 1: a file; -1: none
        dev_t inputDev = 0;
        ino_t inputIno = 0;
    };

private:
    struct File {
        std::string path;
        dev_t dev;
        ino_t ino;
    };
    Facts& Taken() const;
    std::vector<File> files_;
    mutable Facts facts_;
};

// Opens `path` (as written, relative to the current directory) as a template or an
// included file: a regular file that is not the gateway's standard input nor one of `own`,
// and does not lie under /proc or /dev once symbolic links are resolved (a link is never
// followed out of /proc: /proc/self/cwd/x counts as under /proc). nullptr otherwise, or
// when it cannot be opened.
std::unique_ptr<HInput> OpenPageFile(const std::string& path, const HOwnFiles& own);

// Whether OpenPageFile would open `path` as the file of `stamp`. A relative path without
// `..` whose folders are folders, not links, and which names a regular file is decided by
// looking at them: a file of that stamp is the very file that passed the checks when the
// stamp was taken, and it is checked again against `own` and standard input. Otherwise the
// path is opened as OpenPageFile opens it.
bool IsPageFile(const std::string& path, const HOwnFiles& own, const HFileStamp& stamp);

// Whether `path` lies inside `folder`: a relative path always does (the caller refuses
// `..` segments first); an absolute one must begin with the folder's absolute path (taken
// from the working directory `cwd`, as CurrentDirectory() names it, when `folder` is
// relative, as written or with its symbolic links resolved) followed by `/`.
// "/srv/site2/x" is not inside "/srv/site".
bool IsInsideFolder(const std::string& path, const std::string& folder, const std::string& cwd);

// Why `path` could not be opened as a page file, for the operator: "not found", "permission
// denied", "not a regular file", or "not a page file" (it lies where pages are never read).
std::string WhyNotOpened(const std::string& path);

// "PATH:LINE:COLUMN" of byte `offset` of the file `path` (both counted from 1), or `path`
// alone when the file cannot be read again.
std::string FilePosition(const std::string& path, size_t offset);

// The absolute path of the working directory, or "" when it cannot be named. It holds no
// symbolic link: the system names the directory itself.
std::string CurrentDirectory();

}  // namespace quorvel
