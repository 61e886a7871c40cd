#include "base/HExcept.h"

namespace quorvel {

namespace {

const char* const kMessages[HExcept::kMessageCount] = {
    "Failed to connect to database",
    "Syntax or semantic error in SQL statement",
    "No data found",
    "SQL bind output failed",
    "SQL fetch failed",
    "SQL close statement failed",
    "Mismatch in number of parameters to SQL statement",
    "Syntax error in HTML",
    "Document must start with <HTML> tag",
    "Variable is not defined",
    "Syntax error in end tag",
    "Unexpected end-of-file",
    "Illegal syntax in attribute value pair",
    "Cannot reference a parameter list",
    "Cannot reference a SQL operation definiton",
    "Cannot reference a string",
    "Name attribute missing from tag",
    "Text attribute missing from tag",
    "Query attribute missing from tag",
    "Only one select statement is allowed in each query",
    "Include file is missing",
    "No such function",
    "No command specified in FUNCTION tag",
    "Illegal parameter to function",
    "Unmatched tags in include file",
    "Query is not defined",
    "Too many into variables for SQL query",
    "SQLAction is not defined",
    "Syntax error in list",
    "Illegal value in MAXROWS attribute",
    "Syntax error in specifying input value constraints",
    "Constraint check failed",
    "External function call failed",
    "Syntax error in validation clause",
    "Validation check failed",
    "Syntax error in configuration file",
    "Illegal escape character in URL",
    "Input file specified in URL not found",
    "Syntax error in query string specified in URL",
    "Illegal value in _MAX_COLUMN_WIDTH_",
    "Error writing to statistics log file",
    "Parameter to SQL statement is not defined",
};

// A URL given in double quotes loses its first and last character.
void StripQuotes(std::string& url) {
    if (url.size() >= 2 && url.front() == '"')
        url = url.substr(1, url.size() - 2);
    else if (url.size() == 1 && url.front() == '"')
        url.clear();
}

}  // namespace

HExcept::HExcept(int code_, std::string detail_, std::string url_)
    : code(code_), detail(std::move(detail_)), url(std::move(url_)) {
    StripQuotes(url);
}

HExcept HExcept::WithCode(const HExcept& other, int newCode) {
    HExcept e(other);
    e.code = newCode;
    return e;
}

HExcept HExcept::WithDetailAndUrl(const HExcept& other, std::string newDetail, std::string newUrl) {
    HExcept e(other);
    e.detail = std::move(newDetail);
    e.url = std::move(newUrl);
    StripQuotes(e.url);
    return e;
}

std::string ErrorLogLine(const HExcept& error) {
    std::string line = "quorvel: ";
    if (!error.where.empty())
        line += error.where + ": ";
    line += "error " + std::to_string(error.code) + ": " + error.Message();
    if (!error.detail.empty())
        line += ": " + error.detail;
    if (!error.cause.empty())
        line += " (" + error.cause + ")";
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return line;
}

const char* HExcept::MessageText(int c) {
    if (c < 0 || c >= kMessageCount)
        return "";
    return kMessages[c];
}

}  // namespace quorvel
