// HExcept: the one exception type of the gateway.
//
// Every failure the system reports is raised as an HExcept by value where it happens and
// caught once, by the request driver, which turns it into a debug-log line, a redirect to
// an error page and a statistics record. `code` indexes the fixed message table below;
// `detail` names what failed (a variable, an operation, a command line); `url` is the
// error page the failing construct chose, empty to fall back to `_ERR_URL_`.
#pragma once

#include <string>

class HExcept {
public:
    // Number of entries in the message table; valid codes are 0 .. kMessageCount - 1.
    static constexpr int kMessageCount = 42;

    // A URL given in double quotes is stored without its first and last character.
    HExcept(int code, std::string detail = std::string(), std::string url = std::string(),
            int category = 0, int extra = 0);

    // A copy of `other` with another code (category, detail and url kept, extra 0).
    static HExcept WithCode(const HExcept& other, int code);
    // A copy of `other` with another URL and detail (code and category kept, extra 0).
    static HExcept WithDetailAndUrl(const HExcept& other, std::string detail, std::string url);

    // The fixed message text of this error's code.
    const char* Message() const { return MessageText(code); }
    // The message text of any code; codes outside the table give an empty text.
    static const char* MessageText(int code);

    int code;
    std::string detail;
    std::string url;
    int category;
    int extra;
};
