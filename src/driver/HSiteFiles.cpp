#include "driver/HSiteFiles.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "template/HInput.h"

namespace {

std::string CurrentDirectory() {
    char buffer[PATH_MAX];
    return ::getcwd(buffer, sizeof buffer) ? buffer : "";
}

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

bool IsStandardInput(const std::string& path) {
    struct stat file, in;
    return ::stat(path.c_str(), &file) == 0 && ::fstat(0, &in) == 0 && file.st_dev == in.st_dev &&
           file.st_ino == in.st_ino;
}

}  // namespace

std::unique_ptr<HInput> OpenPageFile(const std::string& path) {
    std::string resolved = Resolved(path);
    if (resolved.empty() || UnderSystemFolder(resolved) || IsStandardInput(path))
        return nullptr;
    // HInput opens regular files only.
    return HInput::OpenFile(path);
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    if (path.empty() || path[0] != '/')
        return true;
    if (folder.empty())
        return false;
    std::string absolute = folder[0] == '/' ? folder : CurrentDirectory() + "/" + folder;
    if (StartsWithFolder(path, absolute))
        return true;
    std::string resolved = Resolved(absolute);
    return !resolved.empty() && StartsWithFolder(path, resolved);
}
