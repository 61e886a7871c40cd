// Which files of a site the development server sends as they are, and as what.
//
// A site folder holds what must never reach a browser: the configuration (which may hold a
// password), logs that hold visitors' words, database files, templates (which hold SQL) and
// whatever tools put there under a dot name. So a file is sent only when its name says it is
// a web asset (html, css, js, images, fonts, txt, ...), no part of its path starts with a dot,
// it is a regular file inside the site once symbolic links are resolved, and it is none of
// the gateway's own files and no SQLite database, whatever it is called. Nothing here is
// kept between requests: the configuration is read again for every file.
#pragma once

#include <string>

namespace quorvel {

// A file to send, or why not: `fd` is open (the caller owns it) when `status` is 200;
// otherwise `status` is 403 or 404 and `reason` says why, for the developer.
struct HStaticFile {
    int status = 404;
    std::string reason;
    int fd = -1;
    long long size = 0;
    const char* type = "application/octet-stream";
};

// Whether `path` (decoded, starting with `/`) names a template: its name ends in ".htmx",
// the extension web servers map onto the gateway.
bool IsTemplatePath(const std::string& path);

// Whether a segment of `path` starts with a dot (`..` included), or it holds a NUL byte.
bool HasHiddenSegment(const std::string& path);

// Opens the file `path` (decoded, starting with `/`, relative to `site`, the absolute path
// of the working directory) when it may be sent; see above.
HStaticFile OpenStaticFile(const std::string& site, const std::string& path);

}  // namespace quorvel
