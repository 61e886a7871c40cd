// The request driver: serves a request, from the configuration to the statistics line, and
// is the one place where a reported failure (HExcept) is caught and turned into a debug-log
// line, a redirect and a statistics record.
#pragma once

#include "base/HRequest.h"

namespace quorvel {

// Serves `request`: reads the configuration and the template it names, writes the response
// to it and the statistics record. Every state of the request goes with it, but for the
// database connections (see KeepConnections) and the element tree, which the next request
// frees.
void ServeRequest(HRequest& request);

// Serves the request described by the environment and standard input, writes the
// response to standard output, and returns the exit status (always 0).
int RunRequest();

}  // namespace quorvel
