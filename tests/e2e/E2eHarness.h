// E2eSite: a throw-away site directory in which build/quorvel is run exactly as a web
// server runs a CGI program: working directory = the site, CGI variables in a clean
// environment, the request body on standard input, the response read from standard
// output. A run that crashes, exits non-zero, reports a sanitizer finding or outlives its
// time limit fails the calling test.
//
// With QV_GATEWAY_MODE=fastcgi the same requests go through one persistent gateway per site
// (FastCgiGateway, started at the site's first request), sent by the cgi-fcgi client with
// the same variables and body; the same pages are expected.
#pragma once

#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// The time limit of a run (E2eSite::Run, RunCommand, FastCgiGateway::Request) is the one bound
// the whole-request tests set on time, and only a hang breaks it. A background job that a
// test's program leaves holding its output runs this command: it sleeps far beyond any
// limit, so a gateway that waits for the job instead of ending it fails by the limit.
inline const std::string kSleepPastTheLimit = "sleep 300";

struct GatewayRun {
    std::string out;     // standard output, byte for byte
    std::string err;     // standard error
    int exitCode = -1;   // exit status, or 128 + signal
    bool timedOut = false;
};

enum class GatewayMode { kCgi, kFastCgi };

// The mode QV_GATEWAY_MODE chooses: kFastCgi for "fastcgi", kCgi otherwise.
GatewayMode ModeFromEnvironment();

// PATH, HOME, ODBCSYSINI, ODBCINI, TMPDIR and the sanitizer options of the test's own
// environment: what a gateway process is started with.
std::map<std::string, std::string> PassThroughEnvironment();

// Runs QUORVEL_BINARY with `args` and exactly `env` in `dir`, standard input /dev/null, as a
// command line (not a request): its output, error and exit status. A `tool` (its program
// and options) runs the gateway under it.
GatewayRun RunCommand(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                      const std::string& dir, int timeoutSeconds = 30,
                      const std::vector<std::string>& tool = {});

// Starts QUORVEL_BINARY with `args` and exactly `env` in `dir`, standard input /dev/null,
// standard output and error written to the file `log`; it is sent SIGTERM when the test
// process dies. Returns its process id; the caller stops and reaps it.
pid_t StartInBackground(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
                        const std::string& dir, const std::string& log);

struct HttpResponse {
    int status = 0;
    std::map<std::string, std::string> headers;  // names lower case
    std::string body;
    std::string error;
};

// One exchange of `request` (sent as it is) with 127.0.0.1:port, read until the server
// closes the connection (an HTTP/1.0 request, or one with "Connection: close").
HttpResponse Http(int port, const std::string& request);

// A gateway serving FastCGI on a Unix socket of its own (outside any site), started with
// `quorvel --fastcgi SOCKET ARGS...` in `dir` with exactly `env`; its standard output and
// error go to a file. The constructor returns once the socket accepts (or the test failed).
// Stopped with SIGTERM on destruction unless it has ended; the owner checks the outcome.
class FastCgiGateway {
public:
    FastCgiGateway(const std::string& dir, const std::map<std::string, std::string>& env,
                   const std::vector<std::string>& args = {});
    ~FastCgiGateway();
    FastCgiGateway(const FastCgiGateway&) = delete;
    FastCgiGateway& operator=(const FastCgiGateway&) = delete;

    pid_t Pid() const { return pid_; }
    const std::string& Socket() const { return socket_; }
    const std::map<std::string, std::string>& Environment() const { return env_; }

    // One request through `cgi-fcgi -bind -connect`, whose environment is exactly `env` and
    // whose standard input is `body`. `err` holds what the client and the gateway wrote to
    // standard error meanwhile; `exitCode` is the client's status, or the gateway's when it
    // ended during the request. A request beyond the time limit ends the gateway too.
    GatewayRun Request(const std::map<std::string, std::string>& env, const std::string& body,
                       int timeoutSeconds);
    // Whether the gateway has ended (reaped; `status` gets its exit status or 128 + signal).
    bool Ended(int& status);
    // Waits up to `ms` for the gateway to end; its status, or -1 while it still runs.
    int WaitEnd(int ms);
    // Sends `signal` and waits (bounded) for the end: the status, or -1 when it had to be
    // killed. Ending twice returns the first status.
    int Stop(int signal = SIGTERM, int timeoutSeconds = 30);
    // Everything the gateway wrote to standard error (and output) so far.
    std::string Errors() const;

private:
    std::string tmp_, socket_, errPath_;
    std::map<std::string, std::string> env_;
    pid_t pid_ = -1;
    pid_t owner_;       // a forked copy neither reaps nor stops the gateway
    int status_ = -1;   // once ended
};

// Fails the calling test unless a gateway that ended reported status 0 and no sanitizer
// finding; `what` says which gateway.
void ExpectCleanEnd(int status, const std::string& errors, const std::string& what);

class E2eSite {
public:
    explicit E2eSite(GatewayMode mode = ModeFromEnvironment());
    ~E2eSite();
    E2eSite(const E2eSite&) = delete;
    E2eSite& operator=(const E2eSite&) = delete;

    const std::string& Dir() const { return dir_; }
    std::string Path(const std::string& rel) const { return dir_ + "/" + rel; }
    // Writes a file below the site (creating folders); `mode` for scripts.
    void Write(const std::string& rel, const std::string& content, int mode = 0644) const;
    std::string Read(const std::string& rel) const;
    bool Exists(const std::string& rel) const;
    void Remove(const std::string& rel) const;

    // Runs the gateway with these CGI variables (and anything in `env`) and `body` on
    // standard input. PATH, HOME, ODBCSYSINI, ODBCINI, TMPDIR and sanitizer options are
    // passed through from the test's own environment unless `env` sets them. `exitCode` is
    // the status the run must end with (128 + signal for a gateway that a signal ended).
    // In FastCGI mode these names are the gateway process's own environment too: a request
    // that sets them differently is served by a new gateway started with its values.
    GatewayRun Run(const std::map<std::string, std::string>& env, const std::string& body = "",
                   int timeoutSeconds = 60, int exitCode = 0) const;

    // Shorthand for a GET page request of `path` with `query`.
    GatewayRun Get(const std::string& path, const std::string& query = "",
                   const std::map<std::string, std::string>& extra = {}) const;

    // The statistics log ("qvstat.log"), one line per record with the time stamp and the
    // CR LF removed; a malformed record shows as "<bad stamp>..." or "<unterminated>...".
    std::string StatsWithoutTimestamps() const;

    GatewayMode Mode() const { return mode_; }
    // FastCGI mode: starts the site's gateway now, so that processes forked afterwards send
    // their requests to it; nothing in CGI mode.
    void StartGateway() const;
    // FastCGI mode: the running gateway's process id (-1 before the first request).
    pid_t GatewayPid() const { return gateway_ ? gateway_->Pid() : -1; }

private:
    // The gateway for a request with this environment, started or replaced as needed.
    FastCgiGateway* Gateway(const std::map<std::string, std::string>& all) const;
    void StopGateway() const;

    std::string dir_;
    GatewayMode mode_;
    pid_t owner_;
    mutable std::unique_ptr<FastCgiGateway> gateway_;
};

// Sets `rest` to the text after the "M/D/YYYY h:m:s " time stamp of a statistics line;
// false when the line does not start with a well-formed time stamp.
bool StripTimestamp(const std::string& line, std::string& rest);
