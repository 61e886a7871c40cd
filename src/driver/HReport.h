// The end of a request: the response on standard output, the symbol-table listing of a
// debugged request, and the report of a failed one.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

class HContext;
class HExcept;

// Page request: "Content-TYPE: text/html\n\n" and the buffered page. Post-process
// request: a redirect to the evaluated `_POST_PROCESS_` (an http: URL gets the submitted
// query string without the two hidden fields). Raises what evaluating
// `_POST_PROCESS_` raises, and error 1 for a target off the site (CheckRedirectTarget);
// writes nothing to standard output in that case.
void Finalise(HContext& ctx);

// Appends the symbol-table listing to the page buffer when debugging is on.
void ListSymbols(HContext& ctx);

// The error path: the error's line on the request's error stream (ErrorLogLine), the
// debug-log lines and listing (debugging only), then the redirect to the error's URL or
// `_ERR_URL_`, or without either a 500 answer with ErrorPage. Raises nothing.
void ReportError(HContext& ctx, const HExcept& error);

// The page of a 500 answer: one sentence naming the error's number and message, never its
// detail (which may hold SQL or a path).
std::string ErrorPage(const HExcept& error);

// `query` without every `&`-separated parameter whose name, percent-decoded, is exactly
// `name`; the others are kept as they are, in order. A value is never searched.
std::string RemoveParameter(const std::string& query, std::string_view name);

// A redirect URL made safe for a header line: every control byte (0x00-0x1F, 0x7F) is
// percent-encoded (%0D, %0A, %00, %1B, ...).
std::string SafeHeaderValue(const std::string& url);


}  // namespace quorvel
