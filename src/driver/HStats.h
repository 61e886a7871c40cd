// The statistics log: one line per request, successful or failed, appended to the file
// named by `_STAT_FILE_` (default "qvstat.log", the configuration's only). Concurrent
// requests take an exclusive lock on the file, waiting for it in the kernel for at most
// 10 s (a timer signal ends the wait); after that the line is dropped. Each line is
// written with one system call, so lines never interleave. A process keeps the log open
// for its next request while the log's name still names that file.
#pragma once

#include <ctime>
#include <string>

namespace quorvel {

class HContext;
class HExcept;

// The record: "M/D/YYYY h:m:s ", the request path, "?query", " message", ": detail",
// "\r\n". `error` is null for a successful request. A CR or LF inside the path, the query
// or the detail is written as a blank, so that the record stays one line.
std::string FormatStatistics(const HContext& ctx, const HExcept* error, std::time_t now);

// Appends the record for this request. Raises nothing.
void WriteStatistics(const HContext& ctx, const HExcept* error);

}  // namespace quorvel
