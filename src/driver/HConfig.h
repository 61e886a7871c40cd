// Initialisation of a request: the configuration file "quorvel.cfg" of the current
// directory, the early settings (`_DEBUG_`, `_LOG_FILE_`, `_MAX_COLUMN_WIDTH_`), the page
// buffer, the template named by PATH_INFO, the built-in CGI variables, the query string
// and, for a form posted as application/x-www-form-urlencoded, the request body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class HContext;
class HInput;

// Fills `ctx` as described above. Raises errors 35 to 39 (and 37 for a path that
// contains a `..` segment or a NUL byte).
void Initialise(HContext& ctx);

// Reads the configuration file at `path` into the symbol table; every error becomes
// error 35. A missing file defines nothing.
void ReadConfiguration(HContext& ctx, const std::string& path);
// The entries of an open configuration file, optional header included. Raises the
// attribute reader's and value parser's errors as they are (the template checker reports
// them with their place in the file). With `valueless`, the offset in front of each
// entry written without a value is appended to it (blanks before the name included).
void ReadConfigurationEntries(HContext& ctx, HInput& in, std::vector<size_t>* valueless = nullptr);

// The program's version, `_QUORVEL_VERSION_` of every request.
const char* QuorvelVersion();

// Whether `name` is one of the built-in variables that Initialise defines.
bool IsBuiltinVariable(std::string_view name);

// Percent-decodes PATH_INFO into a file path (no other change). Raises error 36.
std::string DecodePath(std::string_view pathInfo);

// Decodes a query string (or a form body) into variables of the symbol table; `raw` is
// the detail of error 38. Raises errors 36 and 38.
void DefineQueryVariables(HContext& ctx, std::string_view query, const std::string& raw);

// Largest request body that is read.
constexpr long kMaxBody = 1L << 20;
