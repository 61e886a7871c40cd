#include "config/HConfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HSiteFiles.h"
#include "base/HVersion.h"
#include "values/HAttributes.h"
#include "values/HNameModifier.h"

namespace quorvel {

namespace {

const char* const kBuiltins[][2] = {
    {"_PATH_INFO_", "PATH_INFO"},
    {"_QUERY_STRING_", "QUERY_STRING"},
    {"_SERVER_SOFTWARE_", "SERVER_SOFTWARE"},
    {"_SERVER_NAME_", "SERVER_NAME"},
    {"_GATEWAY_INTERFACE_", "GATEWAY_INTERFACE"},
    {"_SERVER_PROTOCOL_", "SERVER_PROTOCOL"},
    {"_SERVER_PORT_", "SERVER_PORT"},
    {"_REQUEST_METHOD_", "REQUEST_METHOD"},
    {"_HTTP_ACCEPT_", "HTTP_ACCEPT"},
    {"_HTTP_USER_AGENT_", "HTTP_USER_AGENT"},
    {"_PATH_TRANSLATED_", "PATH_TRANSLATED"},
    {"_SCRIPT_NAME_", "SCRIPT_NAME"},
    {"_REMOTE_HOST_", "REMOTE_HOST"},
    {"_REMOTE_ADDR_", "REMOTE_ADDR"},
    {"_REMOTE_USER_", "REMOTE_USER"},
    {"_REMOTE_IDENT_", "REMOTE_IDENT"},
    {"_AUTH_TYPE_", "AUTH_TYPE"},
    {"_CONTENT_TYPE_", "CONTENT_TYPE"},
    {"_CONTENT_LENGTH_", "CONTENT_LENGTH"},
};

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// `%` and exactly two hexadecimal digits. Anything else (a blank, a sign, one digit, the
// end of the text) is error 36: a lenient reading would turn `% A` into a line break and
// `%-1` into the byte 0xFF behind every check that reads the decoded text. The detail is
// the escape as sent.
char DecodeEscape(std::string_view s, size_t& i) {
    int high = i + 2 < s.size() ? HexValue(s[i + 1]) : -1;
    int low = high >= 0 ? HexValue(s[i + 2]) : -1;
    if (low < 0)
        throw HExcept(kErrUrlEscape, std::string(s.substr(i, 3)), "");
    i += 3;
    return static_cast<char>(high * 16 + low);
}

HExcept TooManyParameters() {
    return HExcept(kErrQueryStringSyntax, "more than " + std::to_string(kMaxParameters) + " parameters", "");
}

bool HasParentSegment(const std::string& path) {
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        std::string_view seg(path.data() + start, (end == std::string::npos ? path.size() : end) - start);
        if (seg == "..")
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

void OpenPage(HContext& ctx) {
    if (ctx.debug) {
        if (const HValue* log = ctx.symbols.Lookup("_LOG_FILE_"))
            ctx.page = HPage::OpenLog(log->GetText());
        if (!ctx.page)
            ctx.page = HPage::OpenLog(kDebugLog);
    }
    // Without a writable debug log the request is still served, from a temporary file.
    if (!ctx.page)
        ctx.page = HPage::Temporary();
    if (!ctx.page)
        throw HExcept(kErrHtmlSyntax, "cannot create the page buffer");
}

// Reads CONTENT_LENGTH bytes of the body of a form posted as
// application/x-www-form-urlencoded; false when the request carries no such body.
bool ReadFormBody(HContext& ctx, std::string& body) {
    if (ctx.request->Text("REQUEST_METHOD") != "POST")
        return false;
    std::string type = ctx.request->Text("CONTENT_TYPE");
    static const char kForm[] = "application/x-www-form-urlencoded";
    if (strncasecmp(type.c_str(), kForm, sizeof kForm - 1) != 0)
        return false;
    std::string lengthText = ctx.request->Text("CONTENT_LENGTH");
    char* end = nullptr;
    errno = 0;
    long length = lengthText.empty() ? 0 : std::strtol(lengthText.c_str(), &end, 10);
    if (!lengthText.empty() && (errno != 0 || *end != '\0' || length < 0))
        throw HExcept(kErrQueryStringSyntax, lengthText, "");
    if (length > kMaxBody)
        throw HExcept(kErrQueryStringSyntax, lengthText, "");
    body.resize(static_cast<size_t>(length));
    size_t got = 0;
    while (got < body.size()) {
        long n = ctx.request->ReadBody(&body[got], body.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    // A body cut short would submit half a form: refuse it whole.
    if (got != body.size())
        throw HExcept(kErrQueryStringSyntax, lengthText, "");
    return true;
}

}  // namespace

namespace {

// Read with the configuration, from the file alone: a request never chooses how its own
// values are written.
void ReadRawRequestValues(HContext& ctx) {
    if (const HValue* raw = ctx.symbols.Lookup("_RAW_REQUEST_VALUES_"))
        ctx.rawRequestValues = strcasecmp(raw->GetText().c_str(), "TRUE") == 0;
}

}  // namespace

void ReadConfiguration(HContext& ctx, const std::string& path, HKeptConfiguration* kept,
                       const HKeptConfiguration::Look* look) {
    if (kept && look && !look->found)
        return;  // as when it is not found below
    if (kept && look && kept->DefineUnchanged(ctx, *look)) {
        ReadRawRequestValues(ctx);
        return;
    }
    const timespec before = kept ? CoarseClock() : timespec{};
    std::unique_ptr<HInput> in = HInput::OpenFile(path);
    if (!in) {
        // A site without a configuration file is served; one whose file cannot be read is
        // not, as its settings (the data source, the error page, ...) would silently go.
        std::string why = WhyNotOpened(path);
        if (why == "not found")
            return;
        HExcept unreadable(kErrConfigurationSyntax, path);
        unreadable.where = path;
        unreadable.cause = why;
        throw unreadable;
    }
    try {
        if (kept)
            kept->Define(ctx, *in, before);
        else
            ReadConfigurationEntries(ctx, *in);
    } catch (const HExcept& e) {
        HExcept syntax = HExcept::WithCode(e, kErrConfigurationSyntax);
        syntax.where = FilePosition(path, in->Offset());
        throw syntax;
    }
    ReadRawRequestValues(ctx);
}

namespace {

// Reads the entries of `in` (see ReadConfigurationEntries), calling define(name, value) for
// each in order.
template <class F>
void ReadEntries(HInput& in, std::vector<size_t>* valueless, F&& define) {
    int c = in.Get();
    if (c == '[') {
        do
            c = in.Get();
        while (c != ']' && c != HInput::kEof);
    } else {
        in.Unget(c);
    }
    std::string name;
    HValuePtr value;
    size_t at = in.Offset();
    while (ReadAttribute(in, name, value)) {
        // A name written without a value is defined with the empty text.
        if (!value) {
            value = std::make_unique<HWordValue>(std::string());
            if (valueless)
                valueless->push_back(at);
        }
        define(name, std::move(value));
        at = in.Offset();
    }
}

}  // namespace

void ReadConfigurationEntries(HContext& ctx, HInput& in, std::vector<size_t>* valueless) {
    ReadEntries(in, valueless,
                [&](const std::string& name, HValuePtr value) { ctx.symbols.Define(name, std::move(value)); });
}

const HKeptConfiguration::Look* HKeptConfiguration::LookAhead() {
    struct stat st;
    look_ = Look();
    const bool found = ::stat(kConfigurationFile, &st) == 0;
    // Any failure but a missing file: the request opens it, and says why it cannot.
    looked_ = found || errno == ENOENT;
    if (!looked_)
        return nullptr;
    if (found)
        look_ = {true, S_ISREG(st.st_mode), {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim}};
    return &look_;
}

bool HKeptConfiguration::TakeLook(Look& look) {
    if (!looked_)
        return false;
    look = look_;
    looked_ = false;
    return true;
}

void HKeptConfiguration::DefineKept(HContext& ctx) const {
    for (const auto& [name, value] : entries_)
        ctx.symbols.DefineKept(name, value.get());
}

bool HKeptConfiguration::DefineUnchanged(HContext& ctx, const Look& look) {
    if (!valid_ || !look.regular || look.stamp != stamp_)
        return false;
    DefineKept(ctx);
    return true;
}

void HKeptConfiguration::Define(HContext& ctx, HInput& in, const timespec& before) {
    if (!valid_ || in.Stamp() != stamp_) {
        // Each entry is defined as it is read, so that a fault leaves those before it.
        valid_ = false;
        entries_.clear();
        ReadEntries(in, nullptr, [&](const std::string& name, HValuePtr value) {
            entries_.emplace_back(name, std::move(value));
            ctx.symbols.DefineKept(name, entries_.back().second.get());
        });
        stamp_ = in.Stamp();
        valid_ = stamp_.Settled(before);
        return;
    }
    DefineKept(ctx);
}

bool IsBuiltinVariable(std::string_view name) {
    if (name == "_QUORVEL_VERSION_")
        return true;
    for (const auto& builtin : kBuiltins)
        if (name == builtin[0])
            return true;
    return false;
}

std::string DecodePath(std::string_view pathInfo) {
    std::string path;
    path.reserve(pathInfo.size());
    for (size_t i = 0; i < pathInfo.size();) {
        if (pathInfo[i] == '%')
            path.push_back(DecodeEscape(pathInfo, i));
        else
            path.push_back(pathInfo[i++]);
    }
    return path;
}

bool IsReservedName(std::string_view name) {
    name.remove_suffix(ModifierSuffixLength(name));
    return !name.empty() && name.front() == '_' && name.back() == '_';
}

void DecodeQuery(std::string_view query, const std::string& raw, QueryParameters& out) {
    size_t i = 0;
    for (;;) {
        // Counted while decoding, so that a body of tiny parameters costs no more memory.
        if (out.size() == kMaxParameters)
            throw TooManyParameters();
        out.emplace_back();
        std::string& name = out.back().first;
        while (i < query.size() && query[i] != '=') {
            if (query[i] == '%')
                name.push_back(DecodeEscape(query, i));
            else
                name.push_back(query[i++]);
        }
        if (i >= query.size())
            throw HExcept(kErrQueryStringSyntax, raw, "");
        ++i;
        std::string& value = out.back().second;
        while (i < query.size() && query[i] != '&' && query[i] != '?') {
            if (query[i] == '%')
                value.push_back(DecodeEscape(query, i));
            else if (query[i] == '+')
                value.push_back(' '), ++i;
            else
                value.push_back(query[i++]);
        }
        if (i >= query.size())
            return;
        ++i;
    }
}

namespace {

// Whether a request parameter defines a variable.
bool Defines(const std::string& name, const std::string& value) {
    // Names of the form `_X_` are the configuration's and the server's: a request may
    // not choose its statistics log, data source, include path or user. Only the two
    // fields that forms write come from the request.
    if (IsReservedName(name) && name != "_POST_PROCESS_" && name != "_MAX_NAME_MODIFIER_")
        return false;
    // An empty value defines nothing, except for a field of a repeated row (`NOTE___2`):
    // left undefined, its row would take the first row's value (a row's value falls back
    // to the plain name), so it is defined empty.
    return !value.empty() || ModifierSuffixLength(name) > 0;
}

// Notes the names that the first `fromQuery` parameters (the query string's) define and
// the rest (the body's) do not: a form posted to a URL that carries its field names must
// not take their values from there.
void NoteQueryOnlyNames(HContext& ctx, const QueryParameters& parameters, size_t fromQuery) {
    std::unordered_set<std::string_view> fromBody;
    for (size_t i = fromQuery; i < parameters.size(); ++i)
        if (Defines(parameters[i].first, parameters[i].second))
            fromBody.insert(parameters[i].first);
    for (size_t i = 0; i < fromQuery; ++i)
        if (Defines(parameters[i].first, parameters[i].second) && !fromBody.count(parameters[i].first))
            ctx.queryOnlyNames.push_back(parameters[i].first);
}

}  // namespace

void DefineQueryVariables(HContext& ctx, const QueryParameters& parameters) {
    if (parameters.size() > kMaxParameters)
        throw TooManyParameters();
    for (const auto& [name, value] : parameters)
        if (Defines(name, value))
            ctx.symbols.Define(name, std::make_unique<HWordValue>(value, HWordValue::kRequest));
}

void DefineQueryVariables(HContext& ctx, std::string_view query, const std::string& raw) {
    QueryParameters parameters;
    DecodeQuery(query, raw, parameters);
    DefineQueryVariables(ctx, parameters);
}

HOwnFiles GatewayFiles(HContext& ctx, const HKeptConfiguration::Look* config) {
    HOwnFiles own;
    if (!config)
        own.Add(kConfigurationFile);
    else if (config->found)
        own.Add(kConfigurationFile, config->stamp.dev, config->stamp.ino);
    for (const auto& [variable, fallback] : {std::pair<const char*, const char*>{"_LOG_FILE_", kDebugLog},
                                             {"_STAT_FILE_", kStatisticsLog}}) {
        if (const HValue* file = ctx.symbols.Lookup(variable))
            own.Add(file->GetText());
        own.Add(fallback);
    }
    return own;
}

void Initialise(HContext& ctx, HKeptConfiguration* kept) {
    HKeptConfiguration::Look look;
    const bool looked = kept && kept->TakeLook(look);
    ReadConfiguration(ctx, kConfigurationFile, kept, looked ? &look : nullptr);

    if (const HValue* debug = ctx.symbols.Lookup("_DEBUG_"))
        ctx.debug = strcasecmp(debug->GetText().c_str(), "TRUE") == 0;
    OpenPage(ctx);

    if (const HValue* width = ctx.symbols.Lookup("_MAX_COLUMN_WIDTH_")) {
        std::string text = width->GetText();
        long v = 0;
        for (size_t i = 0; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            if (v <= 100000)
                v = v * 10 + (text[i] - '0');
        if (v < 1 || v > 1024)
            throw HExcept(kErrMaxColumnWidth, text);
        ctx.maxColumnWidth = static_cast<int>(v);
    }

    // The gateway's own files, by what they are now: no name reaches them as a page.
    ctx.ownFiles = GatewayFiles(ctx, looked ? &look : nullptr);

    const char* rawPath = ctx.request->Variable("PATH_INFO");
    std::string pathInfo = rawPath ? rawPath : "";
    std::string path = DecodePath(pathInfo);
    // Nothing outside the template tree is ever opened: no `..` segment, no NUL byte.
    if (path.find('\0') != std::string::npos || HasParentSegment(path))
        throw HExcept(kErrInputFileNotFound, pathInfo, "");
    // The path as given only inside the working directory or the template folder; else
    // (and when that fails) under the template folder.
    const HValue* prefix = ctx.symbols.Lookup("_HTMX_PATH_");
    std::string folder = prefix ? prefix->GetText() : std::string();
    std::string opened = path;
    const std::string& cwd = ctx.ownFiles.WorkingDirectory();
    const bool asGiven = IsInsideFolder(path, ".", cwd) || (prefix && IsInsideFolder(path, folder, cwd));
    if (asGiven)
        ctx.templateStream = OpenPageFile(path, ctx.ownFiles);
    if (!ctx.templateStream && prefix) {
        ctx.templateStream = OpenPageFile(folder + path, ctx.ownFiles);
        // A failure names the path as given when a file is there.
        if (ctx.templateStream || !asGiven || WhyNotOpened(path) == "not found")
            opened = folder + path;
    }
    if (!ctx.templateStream) {
        HExcept missing(kErrInputFileNotFound, pathInfo, "");
        missing.cause = opened + ": " + WhyNotOpened(opened);
        throw missing;
    }
    ctx.input = ctx.templateStream.get();
    ctx.templatePath = opened;

    ctx.symbols.Define("_QUORVEL_VERSION_", std::make_unique<HWordValue>(quorvel::Version()));
    for (const auto& builtin : kBuiltins)
        ctx.symbols.Define(builtin[0], std::make_unique<HWordValue>(ctx.request->Text(builtin[1]),
                                                                    HWordValue::kRequest));

    // Query string first, then the body: a body value replaces a query value of its name.
    QueryParameters parameters;
    std::string query = ctx.request->Text("QUERY_STRING");
    if (!query.empty())
        DecodeQuery(query, query, parameters);
    const size_t fromQuery = parameters.size();
    std::string body;
    if (ReadFormBody(ctx, body) && !body.empty())
        DecodeQuery(body, body, parameters);
    DefineQueryVariables(ctx, parameters);

    if (ctx.symbols.Contains("_POST_PROCESS_"))
        ctx.postProcess = true;
    if (ctx.postProcess && fromQuery > 0 && ctx.request->Text("REQUEST_METHOD") == "POST")
        NoteQueryOnlyNames(ctx, parameters, fromQuery);
}

}  // namespace quorvel
