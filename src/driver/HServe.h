// The development server: `quorvel --serve [HOST:PORT]` serves one site over HTTP/1.1
// (through libmicrohttpd) to the developer who is writing it.
//
// A path whose name ends in ".htmx" is a template: it goes through the same request road
// as under CGI and FastCGI (ServeRequest, with the CGI variables a web server would set),
// read afresh at every request, so an edit shows at the next one. Any other path is a
// static file of the site when HServeFiles allows it. A failure that has no error page of
// its own is answered with a page that shows its number, message, detail and template
// (only in this mode), and each failure is written as a line on standard error.
//
// One request is served at a time, in the main thread: the request road keeps process-wide
// state (the symbol table's key, the database connections kept between requests as in the
// FastCGI server). It stops at SIGINT, SIGTERM or SIGHUP after the request being served.
#pragma once

#include <string>

namespace quorvel {

struct HServeOptions {
    std::string host = "127.0.0.1";  // the loopback interface unless another is named
    std::string port = "8080";
    std::string site;                // folder to serve; empty: the working directory
};

// Reads HOST:PORT (an IPv6 host in brackets: [::1]:8080) into `options`: a non-empty host
// and a port of 1 to 65535. False with `error` otherwise.
bool ParseServeAddress(const std::string& text, HServeOptions& options, std::string& error);

// Serves until stopped. Returns the exit status: 0, or 1 when the site folder or the
// address cannot be used (a message on standard error).
int ServeDevelopment(const HServeOptions& options);

}  // namespace quorvel
