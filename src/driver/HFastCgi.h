// The persistent mode: one process serves request after request over FastCGI (the records
// are read and written by HFastCgiConnection), each exactly as a CGI process would serve it.
//
// The listening socket is standard input (as a web server or a spawner that starts the
// gateway hands it over) or one the gateway binds itself. Between requests nothing of a
// request is kept but the database connections (rolled back and in auto-commit mode; see
// HConnections::Release) and the element tree, freed at the next request or kept, with the
// configuration as read, while its files are unchanged (KeepParsedFiles).
#pragma once

#include <string>

namespace quorvel {

struct HServerOptions {
    std::string address;            // HOST:PORT or a Unix socket path; empty: standard input
    std::string site;               // folder to serve from; empty: the working directory
    unsigned long maxRequests = 0;  // requests to serve before exiting; 0: no bound
};

// Whether standard input is a listening socket, as a FastCGI server is started with.
bool StandardInputListens();

// Serves requests until SIGTERM, SIGINT or SIGHUP (the request being served finishes first)
// or until `maxRequests` have been served, reloads included. A stop is seen before every
// connection taken, however busy the socket; on a socket it bound itself, the process then
// refuses new connections and serves those the kernel had already queued before it ends (a
// socket given as standard input keeps its queue for the other processes on it). Returns
// the exit status: 0, or 1 when the site folder or the socket cannot be used (a message on
// standard error). A HOST:PORT address needs its host and a port of 1 to 65535, or 0 for
// any free port, which is then named on standard error. A connection whose request has not
// wholly arrived within `_REQUEST_TIMEOUT_` seconds of quorvel.cfg (default 30), or within
// a second of a stop or reload signal, is closed.
//
// Reload: SIGUSR2, or the ODBC data-source or driver files changing once the process has
// connected (looked at before every connection taken), makes the process finish its
// request and execute itself again (the binary installed at its path now, else the running
// one) with the same arguments, environment and working directory, the listening socket
// handed over as standard input: a new binary, odbc.ini and driver settings take effect and
// no connection is refused. A failed reload is reported and the process serves on.
int ServeFastCgi(const HServerOptions& options);

}  // namespace quorvel
