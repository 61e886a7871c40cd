// E2eSite: a throw-away site directory in which build/quorvel is run exactly as a web
// server runs a CGI program: working directory = the site, CGI variables in a clean
// environment, the request body on standard input, the response read from standard
// output. A run that crashes, exits non-zero, reports a sanitizer finding or outlives its
// time limit fails the calling test.
#pragma once

#include <map>
#include <string>

struct GatewayRun {
    std::string out;     // standard output, byte for byte
    std::string err;     // standard error
    int exitCode = -1;   // exit status, or 128 + signal
    bool timedOut = false;
};

class E2eSite {
public:
    E2eSite();
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
    // standard input. PATH, HOME, ODBCSYSINI, ODBCINI and sanitizer options are passed
    // through from the test's own environment unless `env` sets them. `exitCode` is the
    // status the run must end with (128 + signal for a gateway that a signal ended).
    GatewayRun Run(const std::map<std::string, std::string>& env, const std::string& body = "",
                   int timeoutSeconds = 60, int exitCode = 0) const;

    // Shorthand for a GET page request of `path` with `query`.
    GatewayRun Get(const std::string& path, const std::string& query = "",
                   const std::map<std::string, std::string>& extra = {}) const;

    // The statistics log ("qvstat.log"), one line per record with the time stamp and the
    // CR LF removed; a malformed record shows as "<bad stamp>..." or "<unterminated>...".
    std::string StatsWithoutTimestamps() const;

private:
    std::string dir_;
};

// Sets `rest` to the text after the "M/D/YYYY h:m:s " time stamp of a statistics line;
// false when the line does not start with a well-formed time stamp.
bool StripTimestamp(const std::string& line, std::string& rest);
