// The request driver: serves a request, from the configuration to the statistics line, and
// is the one place where a reported failure (HExcept) is caught and turned into a debug-log
// line, a redirect and a statistics record.
#pragma once

#include <csignal>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/HRequest.h"
#include "config/HConfig.h"

namespace quorvel {

class HConnections;

// The database connections of this process, which every request it serves uses: kept
// between requests by a process that serves many (HConnections::Keep, Release). Never
// destroyed: at exit the driver manager may have shut down already.
HConnections& ProcessConnections();

// Serves `request`: reads the configuration and the template it names, writes the response
// to it and the statistics record. Every state of the request goes with it, but for the
// database connections (ProcessConnections) and the element tree, which the next request
// frees or KeepParsedFiles keeps. Any failure, also one that is not an HExcept (memory
// running out), ends on the error path (ReportError and the statistics record); false then.
bool ServeRequest(HRequest& request);

class HTemplateCache;

// For a process that serves request after request: from now on the configuration is kept as
// read, and up to `templates` parsed templates of about `bytes` bytes together, while their
// files are unchanged (HKeptConfiguration, HTemplateCache). A process serving one request
// keeps nothing; nor does any process after KeepParsedFiles(0).
void KeepParsedFiles(size_t templates = 64, size_t bytes = size_t(64) << 20);
// The kept templates, or null when KeepParsedFiles was not called.
const HTemplateCache* KeptTemplates();
// HKeptConfiguration::LookAhead of the kept configuration; null when none is kept.
const HKeptConfiguration::Look* LookAtConfiguration();

// For a process that serves request after request: installs `onStop` for SIGTERM, SIGINT
// and SIGHUP, without SA_RESTART so that a wait for the next request returns, and blocks
// them: they are let through only while waiting, so that a request always finishes.
// Returns the mask to wait with (ppoll, pselect).
sigset_t BlockStopSignals(void (*onStop)(int));

// Serves the request described by the environment and standard input, writes the
// response to standard output, and returns the exit status (always 0).
int RunRequest();

// `quorvel --render PATH NAME=VALUE...`: serves PATH of the site in the working directory
// as a CGI GET request with these query parameters (percent-encoded here, so any value
// works), answer on standard output, failures on standard error, and no statistics record.
// Returns 0, or 1 when the request failed.
int RenderTemplate(const std::string& path, const std::vector<std::pair<std::string, std::string>>& parameters);

// The environment of the programs a request starts, as a CGI program would have it: the
// request's own variables (each name once, the first given wins), then the process's own
// environment for every other name (PATH, HOME, locale settings). Built once a request, when
// a program first asks; Clear when the request changes a variable.
class HProgramEnvironment {
public:
    bool Built() const { return !pointers_.empty(); }
    void Clear();
    void Add(std::string_view name, std::string_view value);
    // Adds the process's own variables and returns the array, ended by a null pointer.
    char* const* Finish();

private:
    std::set<std::string, std::less<>> taken_;
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// Reads HOST:PORT (an IPv6 host in brackets: [::1]:8080) into `host` and `port`: a host must
// be given, and a port of 1 to 65535, or 0 when `anyPort` lets the system choose one. False
// with `error` otherwise.
bool SplitHostPort(const std::string& text, bool anyPort, std::string& host, std::string& port, std::string& error);

}  // namespace quorvel
