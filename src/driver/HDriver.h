// The request driver: serves the one CGI request of this process, from the configuration
// to the statistics line, and is the one place where a reported failure (HExcept) is
// caught and turned into a debug-log line, a redirect and a statistics record.
#pragma once

namespace quorvel {

// Serves the request described by the environment and standard input, writes the
// response to standard output, and returns the exit status (always 0).
int RunRequest();

}  // namespace quorvel
