// The request driver: serves a request, from the configuration to the statistics line, and
// is the one place where a reported failure (HExcept) is caught and turned into a debug-log
// line, a redirect and a statistics record.
#pragma once

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "base/HRequest.h"

namespace quorvel {

// Serves `request`: reads the configuration and the template it names, writes the response
// to it and the statistics record. Every state of the request goes with it, but for the
// database connections (see KeepConnections) and the element tree, which the next request
// frees. Any failure, also one that is not an HExcept (memory running out), ends on the
// error path (ReportError and the statistics record); false then.
bool ServeRequest(HRequest& request);

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

}  // namespace quorvel
