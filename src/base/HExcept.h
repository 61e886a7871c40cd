// HExcept: the one exception type of the gateway.
//
// Every failure the system reports is raised as an HExcept by value where it happens and
// caught once, by the request driver, which turns it into a debug-log line, a redirect to
// an error page and a statistics record. `code` (an HErrorCode) indexes the fixed message table;
// `detail` names what failed (a variable, an operation, a command line); `url` is the
// error page the failing construct chose, empty to fall back to `_ERR_URL_`.
#pragma once

#include <string>

namespace quorvel {

// The error codes. The numbers are fixed: statistics logs and sites' error pages show them.
enum HErrorCode : int {
    kErrConnect = 0,                  // Failed to connect to database
    kErrSqlSyntax = 1,                // Syntax or semantic error in SQL statement
    kErrNoData = 2,                   // No data found
    kErrBindOutput = 3,               // SQL bind output failed
    kErrFetch = 4,                    // SQL fetch failed
    kErrCloseStatement = 5,           // SQL close statement failed
    kErrSqlParameterCount = 6,        // Mismatch in number of parameters to SQL statement
    kErrHtmlSyntax = 7,               // Syntax error in HTML
    kErrNoHtmlStart = 8,              // Document must start with <HTML> tag
    kErrUndefinedVariable = 9,        // Variable is not defined
    kErrEndTagSyntax = 10,            // Syntax error in end tag
    kErrUnexpectedEof = 11,           // Unexpected end-of-file
    kErrAttributeSyntax = 12,         // Illegal syntax in attribute value pair
    kErrParameterListReference = 13,  // Cannot reference a parameter list
    kErrSqlOperationReference = 14,   // Cannot reference a SQL operation definiton
    kErrStringReference = 15,         // Cannot reference a string
    kErrNameMissing = 16,             // Name attribute missing from tag
    kErrTextMissing = 17,             // Text attribute missing from tag
    kErrQueryMissing = 18,            // Query attribute missing from tag
    kErrOneSelectOnly = 19,           // Only one select statement is allowed in each query
    kErrIncludeMissing = 20,          // Include file is missing
    kErrNoSuchFunction = 21,          // No such function
    kErrNoCommand = 22,               // No command specified in FUNCTION tag
    kErrFunctionParameter = 23,       // Illegal parameter to function
    kErrIncludeUnmatched = 24,        // Unmatched tags in include file
    kErrQueryUndefined = 25,          // Query is not defined
    kErrTooManyInto = 26,             // Too many into variables for SQL query
    kErrSqlActionUndefined = 27,      // SQLAction is not defined
    kErrListSyntax = 28,              // Syntax error in list
    kErrMaxRows = 29,                 // Illegal value in MAXROWS attribute
    kErrConstraintSyntax = 30,        // Syntax error in specifying input value constraints
    kErrConstraintFailed = 31,        // Constraint check failed
    kErrExternalFailed = 32,          // External function call failed
    kErrValidationSyntax = 33,        // Syntax error in validation clause
    kErrValidationFailed = 34,        // Validation check failed
    kErrConfigurationSyntax = 35,     // Syntax error in configuration file
    kErrUrlEscape = 36,               // Illegal escape character in URL
    kErrInputFileNotFound = 37,       // Input file specified in URL not found
    kErrQueryStringSyntax = 38,       // Syntax error in query string specified in URL
    kErrMaxColumnWidth = 39,          // Illegal value in _MAX_COLUMN_WIDTH_
    kErrStatisticsLog = 40,           // Error writing to statistics log file
    kErrSqlParameterUndefined = 41,   // Parameter to SQL statement is not defined
};

class HExcept {
public:
    // Number of entries in the message table; valid codes are 0 .. kMessageCount - 1.
    static constexpr int kMessageCount = kErrSqlParameterUndefined + 1;

    // A URL given in double quotes is stored without its first and last character.
    HExcept(int code, std::string detail = std::string(), std::string url = std::string());

    // A copy of `other` with another code (detail and url kept).
    static HExcept WithCode(const HExcept& other, int code);
    // A copy of `other` with another URL and detail (code kept).
    static HExcept WithDetailAndUrl(const HExcept& other, std::string detail, std::string url);

    // The fixed message text of this error's code.
    const char* Message() const { return MessageText(code); }
    // The message text of any code; codes outside the table give an empty text.
    static const char* MessageText(int code);

    int code;
    std::string detail;
    std::string url;
    // Where it happened, "FILE:LINE:COLUMN" (or "FILE"): set as the error leaves the element
    // or file it was raised in, empty until then.
    std::string where;
    // Why, in the system's or the database's words, for the operator only: "permission
    // denied", "not executable", or an ODBC failure's SQLSTATE and driver message (see
    // `odbc`). Never shown on a page, a redirect or the statistics log.
    std::string cause;
    bool odbc = false;  // `cause` is the driver's diagnostic
};

// The line standard error gets for `error` (without its line end): "quorvel: WHERE: error
// N: MESSAGE: DETAIL (CAUSE)", on one line whatever the detail holds (every control byte,
// a line end included, is written as a blank).
std::string ErrorLogLine(const HExcept& error);

}  // namespace quorvel
