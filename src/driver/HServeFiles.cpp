#include "driver/HServeFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/HExcept.h"
#include "config/HConfig.h"
#include "values/HContext.h"

namespace quorvel {

namespace {

// The web assets by extension (compared without case) and the type they are sent as.
const struct {
    const char* extension;
    const char* type;
} kAssets[] = {
    {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},   {"js", "text/javascript; charset=utf-8"},
    {"mjs", "text/javascript; charset=utf-8"}, {"txt", "text/plain; charset=utf-8"},
    {"png", "image/png"},   {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"}, {"gif", "image/gif"},
    {"svg", "image/svg+xml"}, {"webp", "image/webp"}, {"avif", "image/avif"}, {"ico", "image/x-icon"},
    {"woff", "font/woff"},  {"woff2", "font/woff2"}, {"ttf", "font/ttf"},   {"otf", "font/otf"},
    {"pdf", "application/pdf"}, {"mp3", "audio/mpeg"}, {"ogg", "audio/ogg"}, {"mp4", "video/mp4"},
    {"webm", "video/webm"},
};

// The type of a web asset named `path`, or nullptr for any other name.
const char* AssetType(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return nullptr;
    for (const auto& asset : kAssets)
        if (strcasecmp(path.c_str() + dot + 1, asset.extension) == 0)
            return asset.type;
    return nullptr;
}

// Whether `st` is the configuration file or a log the gateway writes (named by the
// configuration, or their defaults). A configuration that does not read still names its
// defaults.
bool IsGatewayFile(const struct stat& st) {
    HContext ctx;
    try {
        ReadConfiguration(ctx, kConfigurationFile);
    } catch (const HExcept&) {
    }
    return GatewayFiles(ctx).Contains(st.st_dev, st.st_ino);
}

bool IsSqliteDatabase(int fd) {
    static const char kMagic[] = "SQLite format 3";  // and its terminating zero
    char head[sizeof kMagic];
    return ::pread(fd, head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
           std::memcmp(head, kMagic, sizeof head) == 0;
}

HStaticFile Refused(int status, std::string reason) {
    HStaticFile file;
    file.status = status;
    file.reason = std::move(reason);
    return file;
}

}  // namespace

bool IsTemplatePath(const std::string& path) {
    static const char kExtension[] = ".htmx";
    const size_t n = sizeof kExtension - 1;
    return path.size() > n && path.compare(path.size() - n, n, kExtension) == 0 && path[path.size() - n - 1] != '/';
}

bool HasHiddenSegment(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        return true;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (slash + 1 < path.size() && path[slash + 1] == '.')
            return true;
    return !path.empty() && path[0] == '.';
}

HStaticFile OpenStaticFile(const std::string& site, const std::string& path) {
    if (HasHiddenSegment(path))
        return Refused(403, "a name that starts with a dot is never served");
    const char* type = AssetType(path);
    if (!type)
        return Refused(403, "only web assets (html, css, js, images, fonts, txt, ...) are served as files");
    char resolved[PATH_MAX];
    if (!::realpath((site + path).c_str(), resolved))
        return Refused(404, errno == EACCES ? "permission denied" : "no such file");
    if (std::strncmp(resolved, site.c_str(), site.size()) != 0 || resolved[site.size()] != '/')
        return Refused(403, "a symbolic link out of the site");
    int fd = ::open(resolved, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return Refused(404, errno == EACCES ? "permission denied" : "no such file");
    struct stat st;
    const char* refusal = nullptr;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        refusal = "not a regular file";
    else if (IsGatewayFile(st))
        refusal = "the gateway's configuration or log";
    else if (IsSqliteDatabase(fd))
        refusal = "a database file";
    if (refusal) {
        ::close(fd);
        return Refused(403, refusal);
    }
    HStaticFile file;
    file.status = 200;
    file.fd = fd;
    file.size = st.st_size;
    file.type = type;
    return file;
}

}  // namespace quorvel
