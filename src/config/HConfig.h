// Initialisation of a request: the configuration file "quorvel.cfg" of the current
// directory, the early settings (`_DEBUG_`, `_LOG_FILE_`, `_MAX_COLUMN_WIDTH_`), the page
// buffer, the template named by PATH_INFO, the built-in CGI variables, the query string
// and, for a form posted as application/x-www-form-urlencoded, the request body.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "template/HInput.h"
#include "template/HSiteFiles.h"
#include "values/HValue.h"

namespace quorvel {

class HContext;

// The gateway's own files in the working directory: the configuration file, and the debug
// and statistics logs when `_LOG_FILE_` and `_STAT_FILE_` name none.
constexpr char kConfigurationFile[] = "quorvel.cfg";
constexpr char kDebugLog[] = "quorvel.log";
constexpr char kStatisticsLog[] = "qvstat.log";

// The configuration file as a process that serves request after request keeps it: its
// entries as read, read again only when the file's stamp changes (or while it is too recent
// to tell a later change by its stamp). The symbol table of each request borrows the values.
// Lives as long as the process; the values outlive every request that uses them.
class HKeptConfiguration {
public:
    // The configuration file as one stat found it (`found` false: no such file).
    struct Look {
        bool found = false, regular = false;
        HFileStamp stamp;
    };
    // Looks at the file for the next request to be served (the server's own settings read
    // it before the request arrives), which takes it: its configuration and its own-files
    // identity then need no other look at the file while it is unchanged. Null (and the
    // request looks for itself) when the file cannot be looked at.
    const Look* LookAhead();
    // What LookAhead found, once; nothing when it was not called since.
    bool TakeLook(Look& look);
    // Defines the kept entries into ctx.symbols when `look` shows the file as they were read
    // from, settled; false (nothing defined) otherwise.
    bool DefineUnchanged(HContext& ctx, const Look& look);
    // Defines the entries of `in`, opened after `before` (CoarseClock), into ctx.symbols.
    // Raises ReadConfigurationEntries' errors; what was read then is not kept.
    void Define(HContext& ctx, HInput& in, const timespec& before);

private:
    void DefineKept(HContext& ctx) const;  // every kept entry into ctx.symbols

    Look look_;
    bool looked_ = false;
    std::vector<std::pair<std::string, HValuePtr>> entries_;
    HFileStamp stamp_;
    bool valid_ = false;
};

// Fills `ctx` as described above; for a post-process request sent by POST also
// HContext::queryOnlyNames. With `kept`, the configuration file is read through it. Raises errors 35 to 39: 37 also for a path that contains a `..`
// segment or a NUL byte, that names no template inside the working directory or
// `_HTMX_PATH_`, or that names one of the gateway's own files (see HSiteFiles), 38 for more
// than kMaxParameters.
void Initialise(HContext& ctx, HKeptConfiguration* kept = nullptr);

// The gateway's own files as they are now, by the names the configuration read into `ctx`
// gives them: the configuration file, the debug and statistics logs it names, and their
// defaults. They are never read as a page or served as a file.
// `config`, when given, is the configuration file as looked at for this request.
HOwnFiles GatewayFiles(HContext& ctx, const HKeptConfiguration::Look* config = nullptr);

// Reads the configuration file at `path` into the symbol table (through `kept` when given);
// every error becomes error 35. A missing file defines nothing.
// With `look` (of the file at `path`, for this request), an unchanged file is not opened.
void ReadConfiguration(HContext& ctx, const std::string& path, HKeptConfiguration* kept = nullptr,
                       const HKeptConfiguration::Look* look = nullptr);
// The entries of an open configuration file, optional header included. Raises the
// attribute reader's and value parser's errors as they are (the template checker reports
// them with their place in the file). With `valueless`, the offset in front of each
// entry written without a value is appended to it (blanks before the name included).
void ReadConfigurationEntries(HContext& ctx, HInput& in, std::vector<size_t>* valueless = nullptr);

// Whether `name` is one of the built-in variables that Initialise defines.
bool IsBuiltinVariable(std::string_view name);

// Percent-decodes PATH_INFO into a file path (no other change). Raises error 36 for a `%`
// that is not followed by exactly two hexadecimal digits, as DecodeQuery does.
std::string DecodePath(std::string_view pathInfo);

// Whether `name`, without its name-modifier groups, begins and ends with `_`: a name that
// the configuration and the server define (`_CONNECT_`, `_REMOTE_USER____2`).
bool IsReservedName(std::string_view name);

// A request's parameters as decoded, name and value, in the order sent.
using QueryParameters = std::vector<std::pair<std::string, std::string>>;

// Decodes a query string (or a form body) and appends its parameters to `out`; `raw` is
// the detail of error 38. Raises errors 36 and 38.
void DecodeQuery(std::string_view query, const std::string& raw, QueryParameters& out);

// Defines the parameters as variables, in order (a later one replaces an earlier one of
// the same name). A reserved name defines nothing, except `_POST_PROCESS_` and
// `_MAX_NAME_MODIFIER_`; an empty value defines nothing, except for a row field
// (`NOTE___2`). More than kMaxParameters is error 38, and then nothing is defined.
void DefineQueryVariables(HContext& ctx, const QueryParameters& parameters);

// DecodeQuery and DefineQueryVariables of one query string.
void DefineQueryVariables(HContext& ctx, std::string_view query, const std::string& raw);

// Largest request body that is read.
constexpr long kMaxBody = 1L << 20;
// Most parameters a request (query string and body together) may send.
constexpr size_t kMaxParameters = 65536;

}  // namespace quorvel
