#include "FuzzChecks.h"

#include "FuzzObjectReader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "config/HConfig.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "driver/HStats.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "external/HProgram.h"
#include "template/HCharClass.h"
#include "template/HTagTable.h"
#include "values/HNameModifier.h"

using namespace quorvel;

namespace {

void Require(bool ok, const std::string& what) {
    if (!ok)
        throw FuzzViolation(what);
}

void RequireKnownCode(const HExcept& e) {
    Require(e.code >= 0 && e.code < HExcept::kMessageCount, "error code outside the table: " + std::to_string(e.code));
}

void WriteFile(const std::string& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Require(fd >= 0, "cannot write " + path);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    Require(done == content.size(), "short write to " + path);
}

// A directory for the configuration file and for files that templates include, created
// once per process and removed at its end.
// In memory where the machine offers it: the configuration file is rewritten per input.
char scratchPath[64];
const char* const kScratchFiles[] = {"inc.htmx", "self.htmx", "open.htmx", "end.htmx", "quorvel.cfg"};

const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::snprintf(scratchPath, sizeof scratchPath, "%s/quorvel-fuzz-XXXXXX",
                      ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        Require(::mkdtemp(scratchPath) != nullptr, "mkdtemp failed");
        std::string d = scratchPath;
        WriteFile(d + "/inc.htmx", "<P>@A included <B>bold</B>");
        WriteFile(d + "/self.htmx", "x<INCLUDE FILE=self.htmx>");
        WriteFile(d + "/open.htmx", "<TABLE><TR><TD>@REF");
        WriteFile(d + "/end.htmx", "</HTML>after");
        std::atexit([] {
            for (const char* f : kScratchFiles)
                ::unlink((std::string(scratchPath) + "/" + f).c_str());
            ::rmdir(scratchPath);
        });
        return d;
    }();
    return dir;
}

// Request-like values for command lines: `V` is the one the input chooses.
const char kQuoteValue[] = "ok\" --evil \"x";
const char kBlankValue[] = " \t ";
// The request value of the fuzz runs: every byte that EscapeForHtml rewrites, each next to a
// control byte that only this value brings (templates holding one are not judged). A special
// byte written unescaped leaves one of the pairs in the page; the escaped value holds none.
const char kRequestValue[] = "<\x01\"&\x03>\n";
// FIXED_WIDTH may cut the value after a control byte, which the page's own `"` or `>` then
// follows: only the first two pairs, which a cut cannot make, are judged then.
const char* const kRawRequestPieces[] = {"<\x01", "&\x03", "\x01\"", "\x03>"};
// A visitor's value that, written bare as an attribute value, a browser reads as a quoted
// value and then an event handler holding a request byte.
const char kQuotingValue[] = "'x'/ONCLICK=\x01y";
// A visitor's link: a script wherever a URL attribute starts with it.
const char kScriptUrl[] = " Java\tScript:alert(1)";

// A few variables of every kind a template may meet: plain and hostile words, a chain of
// references, a reference to itself, a list and a repeated-row field.
void DefineVariables(HContext& ctx, const std::string& requestValue) {
    auto word = [&](const char* name, const std::string& text) {
        ctx.symbols.Define(name, std::make_unique<HWordValue>(text));
    };
    word("V", requestValue);
    word("K", kQuoteValue);
    word("B", kBlankValue);
    word("A", "alpha");
    word("N", "12");
    word("HOSTILE", "<b>\"&'\r\n\xff");
    word("EMPTY", "");
    word("QTY", "1");
    word("QTY___2", "2");
    word("_INCLUDE_PATH_", ScratchDir().c_str());
    // Data: what a visitor sent, reached directly, through a reference and inside the
    // author's quoted value.
    ctx.symbols.Define("Q", std::make_unique<HWordValue>(kRequestValue, HWordValue::kRequest));
    ctx.symbols.Define("QREF", std::make_unique<HVarRef>("Q"));
    ctx.symbols.Define("U", std::make_unique<HWordValue>(kScriptUrl, HWordValue::kRequest));
    ctx.symbols.Define("QS", std::make_unique<HWordValue>(kQuotingValue, HWordValue::kRequest));
    auto quoted = std::make_unique<HQuotedValue>();
    quoted->Append(std::make_unique<HLiteralValue>("<i>"));
    quoted->Append(std::make_unique<HVarRef>("Q"));
    ctx.symbols.Define("QQUOTED", std::move(quoted));
    ctx.symbols.Define("REF", std::make_unique<HVarRef>("A"));
    ctx.symbols.Define("SELF", std::make_unique<HVarRef>("SELF"));
    auto list = std::make_unique<HParamList>();
    list->Append(std::make_unique<HVarRef>("A"));
    list->Append(std::make_unique<HWordValue>("3"));
    ctx.symbols.Define("LIST", std::move(list));
}

// Whether the tree holds a FUNCTION element.
bool HasFunction(const HElementTree& tree) {
    bool found = false;
    tree.Visit(0, tree.Size(), [&](const HElementTree::PieceView& p) {
        found = found || (p.element && p.element->TagIndex() == kTagFunction);
    });
    return found;
}

// Programs are never run: the starter records the argument vector of each start and answers
// with an empty text (the end byte alone).
struct RecordedStarts {
    int count = 0;
    std::vector<std::string> args;
};
RecordedStarts recorded;

HStartedProgram RecordingStarter(const std::string&, const std::vector<std::string>& args, char* const*) {
    ++recorded.count;
    recorded.args = args;
    HStartedProgram started;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
        started.output.Reset(ends[0]);
        HFd writer(ends[1]);
        const char end = static_cast<char>(HProgram::kTerminator);
        Require(::write(writer.Get(), &end, 1) == 1, "cannot answer for the program");
    }
    return started;
}

// Keeps the recording starter installed while it lives.
class RecordingScope {
public:
    RecordingScope() : previous_(SetProgramStarter(RecordingStarter)) { recorded = RecordedStarts(); }
    ~RecordingScope() { SetProgramStarter(previous_); }
    RecordingScope(const RecordingScope&) = delete;
    RecordingScope& operator=(const RecordingScope&) = delete;

private:
    HProgramStarter previous_;
};

// What reading and writing a template gave: the page, and the error code (-1 for none).
struct TemplateOutcome {
    std::string page;
    int error = -1;
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads the page as a browser does, tag by tag: no raw control byte of the request value
// may stand where it is code (SCRIPT or STYLE content, an ON... or STYLE attribute), and
// with `judgeUrls` (the template writes no script scheme) no URL attribute may start with
// the visitor's script link.
void RequireNoDataAsCode(const std::string& page, bool judgeUrls) {
    const size_t n = page.size();
    auto requireText = [&](size_t from, size_t to, const std::string& where) {
        Require(page.find_first_of("\x01\x03", from) >= to, "request value unescaped in " + where + ": " + page.substr(from, to - from));
    };
    auto ends = [&](size_t j, const char* also) {
        return j >= n || (page[j] && (std::strchr(" \t\n\f\r>", page[j]) || std::strchr(also, page[j])));
    };
    const std::string upper = Upper(page);
    auto skipBlanks = [&](size_t& j) {
        while (j < n && std::strchr(" \t\n\f\r", page[j]) && page[j])
            ++j;
    };
    for (size_t i = page.find('<'); i < n; i = page.find('<', i)) {
        if (page.compare(i, 4, "<!--") == 0) {
            i = page.find("-->", i + 4);
            continue;
        }
        size_t j = i + 1, start = j;
        if (j < n && (page[j] == '!' || page[j] == '?' || page[j] == '/') &&
            !std::isalpha(static_cast<unsigned char>(page[j + (page[j] == '/')]))) {
            i = page.find('>', j);  // a bogus comment (`<!x`, `<?x`, `</%x`), up to its `>`
            continue;
        }
        if (!std::isalpha(static_cast<unsigned char>(page[j + (j < n && page[j] == '/')]))) {
            ++i;  // text, not a tag
            continue;
        }
        while (!ends(j, "/") || (j == start && page[j] == '/'))
            ++j;
        const std::string tag = upper.substr(start, j - start);
        // Between attributes a `/` is skipped as a blank is (`<P A='x'/ONCLICK=...>`).
        auto skipBetween = [&](size_t& j) {
            while (j < n && page[j] && std::strchr(" \t\n\f\r/", page[j]))
                ++j;
        };
        for (skipBetween(j); j < n && page[j] != '>'; skipBetween(j)) {
            for (start = j; j < n && page[j] != '>' && (!ends(j, "=/") || j == start); ++j) {}
            const std::string name = upper.substr(start, j - start);
            skipBlanks(j);
            if (j >= n || page[j] != '=')
                continue;
            ++j;
            skipBlanks(j);
            const char quote = j < n && (page[j] == '"' || page[j] == '\'') ? page[j++] : 0;
            for (start = j; j < n && (quote ? page[j] != quote : !ends(j, "")); ++j) {}
            if (name.compare(0, 2, "ON") == 0 || name == "STYLE")
                requireText(start, j, name);
            std::string url;
            for (size_t k = start; k < j && url.size() < 11; ++k)
                if (!std::strchr("\t\n\r", page[k]) && (!url.empty() || static_cast<unsigned char>(page[k]) > ' '))
                    url += page[k];
            Require(!judgeUrls || !(name == "HREF" || name == "SRC" || name == "ACTION" || name == "BACKGROUND") ||
                        Upper(url) != "JAVASCRIPT:", "a visitor's script link in " + name);
            j += quote && j < n;
        }
        i = j;
        if (tag == "SCRIPT" || tag == "STYLE") {
            i = std::min(upper.find("</" + tag, i), n);
            requireText(j, i, tag);
        }
    }
}

// Reads and writes `text` as a request does, or with the oracle's model of the reader.
TemplateOutcome ReadAndWriteTemplate(const std::string& text, bool postProcess, const std::string& requestValue,
                                     bool model) {
    HContext ctx;
    DefineVariables(ctx, requestValue);
    ctx.postProcess = postProcess;
    HElementTree tree;
    ctx.tree = &tree;
    ctx.page = HPage::Temporary();
    Require(ctx.page != nullptr, "no temporary page file");
    ctx.templateStream = HInput::FromString(text);
    ctx.input = ctx.templateStream.get();
    TemplateOutcome outcome;
    bool written = false;
    try {
        std::unique_ptr<fuzzmodel::Node> document;
        int status = 1;
        if (model ? !(document = fuzzmodel::ReadTemplate(ctx)) : HElement::ReadDocument(ctx, status) != kTagHtml)
            return outcome;
        Require(ctx.input == ctx.templateStream.get(), "input stream not restored after reading");
        if (document)
            document->Output(ctx);
        else
            tree.Output(ctx, 0, tree.Size());
        written = true;
    } catch (const HExcept& e) {
        RequireKnownCode(e);
        outcome.error = e.code;
    }
    Require(ctx.input == ctx.templateStream.get(), "input stream not restored after an error");
    Require(ctx.includeDepth == 0 && ctx.elementDepth == 0 && ctx.evalDepth == 0,
            "nesting counters not restored");
    Require(ctx.scopes.empty(), "result set left in scope");
    outcome.page = ctx.page->Contents();
    if (model)
        return outcome;
    // In post-process mode nothing is written but the output of FUNCTION elements.
    const bool function = HasFunction(tree);
    if (postProcess) {
        if (!function)
            Require(outcome.page.empty(), "post-process mode wrote " + std::to_string(outcome.page.size()) + " bytes");
    } else if (written) {
        // After the document type, when there is one.
        const size_t root = outcome.page.compare(0, 2, "<!") == 0 ? outcome.page.find(">\n") + 2 : 0;
        Require(outcome.page.compare(root, 5, "<HTML") == 0,
                "page does not start with the root tag: " + outcome.page.substr(0, 80));
    }
    // No request byte reaches the page unescaped (a program's output is its own).
    if (!postProcess && !function && text.find_first_of("\x01\x03") == std::string::npos) {
        const size_t pairs = Upper(text).find("FIXED_WIDTH") == std::string::npos ? 4 : 2;
        for (size_t i = 0; i < pairs; ++i)
            Require(outcome.page.find(kRawRequestPieces[i]) == std::string::npos,
                    "request value written unescaped: " + outcome.page.substr(0, 200));
        RequireNoDataAsCode(outcome.page, Upper(text).find("SCRIPT:") == std::string::npos);
    }
    return outcome;
}

// A request's compact tree writes the page, and fails, exactly as the model of objects does.
void ReadAndWriteTemplate(const std::string& text, bool postProcess, const std::string& requestValue = kQuoteValue) {
    const TemplateOutcome objects = ReadAndWriteTemplate(text, postProcess, requestValue, true);
    const TemplateOutcome compact = ReadAndWriteTemplate(text, postProcess, requestValue, false);
    Require(compact.error == objects.error, "the compact tree failed with " + std::to_string(compact.error) +
                                                ", the model of objects with " + std::to_string(objects.error));
    if (compact.error < 0)
        Require(compact.page == objects.page, "the compact tree wrote\n" + compact.page.substr(0, 300) +
                                                  "\nthe model of objects\n" + objects.page.substr(0, 300));
}

// The percent decoding of the rules, written independently: `%` must be followed by two
// hexadecimal digits, which give the byte.
int HexDigit(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ReferenceEscape(std::string_view s, size_t& i, std::string& out) {
    if (i + 2 >= s.size())
        return false;
    int a = HexDigit(static_cast<unsigned char>(s[i + 1])), b = HexDigit(static_cast<unsigned char>(s[i + 2]));
    if (a < 0 || b < 0)
        return false;
    out.push_back(static_cast<char>(a * 16 + b));
    i += 3;
    return true;
}

bool IsDigitByte(char c) { return c >= '0' && c <= '9'; }

// Expected outcome of decoding a query: the variables, or the error code.
struct QueryOutcome {
    int error = -1;
    std::map<std::string, std::string> variables;
};

// A name the request may not define: without its trailing `___N` groups it begins and
// ends with `_`, and it is neither of the two fields that forms write.
bool IsRequestReserved(const std::string& name) {
    if (name == "_POST_PROCESS_" || name == "_MAX_NAME_MODIFIER_")
        return false;
    std::string base = name;
    for (;;) {
        size_t digits = base.size();
        while (digits > 0 && IsDigitByte(base[digits - 1]))
            --digits;
        if (digits == base.size() || digits < 3 || base.compare(digits - 3, 3, "___") != 0)
            break;
        base.resize(digits - 3);
    }
    return !base.empty() && base.front() == '_' && base.back() == '_';
}

QueryOutcome ReferenceQuery(std::string_view q) {
    QueryOutcome r;
    size_t i = 0;
    for (;;) {
        std::string name, value;
        for (; i < q.size() && q[i] != '=';)
            if (q[i] != '%')
                name.push_back(q[i++]);
            else if (!ReferenceEscape(q, i, name))
                return r.error = 36, r;
        if (i == q.size())
            return r.error = 38, r;
        ++i;
        for (; i < q.size() && q[i] != '&' && q[i] != '?';)
            if (q[i] == '+')
                value.push_back(' '), ++i;
            else if (q[i] != '%')
                value.push_back(q[i++]);
            else if (!ReferenceEscape(q, i, value))
                return r.error = 36, r;
        // A field of a repeated row (a name ending in `___` and digits) is defined even
        // when empty, so that its row does not fall back to the first row's value.
        size_t digits = name.size();
        while (digits > 0 && IsDigitByte(name[digits - 1]))
            --digits;
        bool rowField = digits < name.size() && digits >= 3 && name.compare(digits - 3, 3, "___") == 0;
        if ((!value.empty() || rowField) && !IsRequestReserved(name))
            r.variables[name] = value;
        if (i == q.size())
            return r;
        ++i;
    }
}

// A statistics record must stay one line, whatever the request path, query and error hold.
void CheckStatisticsLine(std::string_view bytes) {
    HContext ctx;
    ctx.symbols.Define("_PATH_INFO_", std::make_unique<HWordValue>(std::string(bytes)));
    ctx.symbols.Define("_QUERY_STRING_", std::make_unique<HWordValue>(std::string(bytes)));
    HExcept error(38, std::string(bytes));
    for (const HExcept* e : {static_cast<const HExcept*>(nullptr), static_cast<const HExcept*>(&error)}) {
        std::string line = FormatStatistics(ctx, e, 0);
        Require(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0, "record not ended by CR LF");
        Require(line.find_first_of("\r\n") == line.size() - 2, "record broken by a line end inside it");
    }
}

// The modifiers of the levels of `maximum` by the rules: tail(m) is m without its first
// three characters, the bound of a level is the number at the start of its tail, and the
// next level is the tail from the first `___` after its first character.
std::vector<long> ReferenceLevels(std::string m, size_t maxLevels) {
    std::vector<long> bounds;
    for (;;) {
        std::string tail = m.size() < 3 ? std::string() : m.substr(3);
        long v = 0;
        for (char c : tail) {
            if (c < '0' || c > '9')
                break;
            v = v > 1000000 ? v : v * 10 + (c - '0');
        }
        bounds.push_back(v);
        if (bounds.size() > maxLevels)
            return bounds;
        size_t p = tail.size() < 2 ? std::string::npos : tail.find("___", 1);
        if (p == std::string::npos)
            return bounds;
        m = tail.substr(p);
    }
}

std::string ModifierOf(const std::vector<long>& rows) {
    std::string m;
    for (long r : rows)
        m += "___" + std::to_string(r);
    return m;
}

}  // namespace

// The argument vector the rules give for a command line as the template wrote it, written
// from the rules: split at blanks and tabs outside double quotes (which group and are
// removed); `@name` stands for the variable's text inside its argument, `@@` for `@`.
// False when the line refers to anything but V, K, B and A.
bool ExpectedArguments(const std::string& line, const std::string& requestValue, std::vector<std::string>& args) {
    const std::map<std::string, std::string> values = {
        {"V", requestValue}, {"K", kQuoteValue}, {"B", kBlankValue}, {"A", "alpha"}};
    std::string current;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '@' && i + 1 < line.size() && line[i + 1] == '@') {
            current += '@';
            ++i;
        } else if (c == '@') {
            size_t end = i + 1;
            while (end < line.size() && IsTemplateNameChar(static_cast<unsigned char>(line[end])))
                ++end;
            auto value = values.find(line.substr(i + 1, end - i - 1));
            if (value == values.end())
                return false;
            current += value->second;
            i = end - 1;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                args.push_back(current);
            current.clear();
            inWord = false;
            continue;
        } else {
            current += c;
        }
        inWord = true;
    }
    if (inWord)
        args.push_back(current);
    return true;
}

// A FUNCTION command line from the input: its first line is a request value (V), the rest
// the command line as written (a quote written twice in the attribute stands for one).
// Whatever the value holds, the program must get exactly the arguments the template wrote.
void CheckCommandLine(const std::string& input) {
    size_t newline = input.find('\n');
    if (newline == std::string::npos)
        return;
    std::string value = input.substr(0, newline), line, attribute;
    for (char c : input.substr(newline + 1))
        if (c != '(' && c != '\r' && c != '\n')  // no function calls; CR LF reads as LF
            line += c;
    for (char c : line)
        attribute += c == '"' ? std::string("\"\"") : std::string(1, c);
    std::vector<std::string> expected;
    if (!ExpectedArguments(line, value, expected))
        return;
    ReadAndWriteTemplate("<HTML><FUNCTION PATH=/nonexistent-quorvel-fuzz COMMAND=\"" + attribute + "\"></HTML>",
                         false, value);
    // Once by the model of objects, once by the compact tree.
    Require(recorded.count == 2, "the program was not started for: " + line);
    Require(recorded.args.size() == expected.size(),
            "argument count " + std::to_string(recorded.args.size()) + " instead of " +
                std::to_string(expected.size()) + " for: " + line);
    Require(recorded.args == expected, "arguments differ from those written for: " + line);
}

void FuzzTemplate(const uint8_t* data, size_t size) {
    RecordingScope programs;
    std::string text(reinterpret_cast<const char*>(data), size);
    ReadAndWriteTemplate(text, false);
    ReadAndWriteTemplate(text, true);
    recorded = RecordedStarts();
    CheckCommandLine(text);
}

void FuzzConfiguration(const uint8_t* data, size_t size) {
    const std::string path = ScratchDir() + "/quorvel.cfg";
    WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));
    HContext ctx;
    try {
        ReadConfiguration(ctx, path);
    } catch (const HExcept& e) {
        Require(e.code == 35, "configuration error other than 35: " + std::to_string(e.code));
        return;
    }
    std::vector<const HValue*> values;
    ctx.symbols.ForEach([&](const std::string& name, const HValue* value) {
        for (char c : name)
            Require(c < 'a' || c > 'z', "configuration name not upper-cased: " + name);
        values.push_back(value);
    });
    for (const HValue* value : values) {
        if (!value)
            continue;
        value->GetText();
        try {
            value->Evaluate(ctx, nullptr);
        } catch (const HExcept& e) {
            RequireKnownCode(e);
        }
        Require(ctx.evalDepth == 0, "evaluation depth not restored");
    }
}

void FuzzQuery(const uint8_t* data, size_t size) {
    std::string_view q(reinterpret_cast<const char*>(data), size);
    CheckStatisticsLine(q);

    // PATH_INFO: decoding only, `+` stays.
    std::string expectedPath;
    int pathError = -1;
    for (size_t i = 0; i < q.size() && pathError < 0;)
        if (q[i] != '%')
            expectedPath.push_back(q[i++]);
        else if (!ReferenceEscape(q, i, expectedPath))
            pathError = 36;
    try {
        std::string path = DecodePath(q);
        Require(pathError < 0, "DecodePath accepted a bad escape");
        Require(path == expectedPath, "DecodePath result differs");
    } catch (const HExcept& e) {
        Require(e.code == pathError, "DecodePath raised " + std::to_string(e.code));
    }

    if (q.empty())
        return;  // the driver never decodes an empty query
    QueryOutcome expected = ReferenceQuery(q);
    HContext ctx;
    try {
        DefineQueryVariables(ctx, q, std::string(q));
        Require(expected.error < 0, "query accepted, expected error " + std::to_string(expected.error));
    } catch (const HExcept& e) {
        Require(e.code == expected.error, "query raised " + std::to_string(e.code) + ", expected " +
                                              std::to_string(expected.error));
        if (e.code == 38)
            Require(e.detail == q, "error 38 detail is not the raw query");
        return;
    }
    size_t count = 0;
    ctx.symbols.ForEach([&](const std::string& name, const HValue* value) {
        ++count;
        Require(!IsRequestReserved(name), "reserved name defined from the request: " + name);
        auto it = expected.variables.find(name);
        Require(it != expected.variables.end(), "unexpected variable defined");
        Require(value && value->Kind() == HValue::kWord && value->Text() == it->second,
                "variable has the wrong value");
    });
    Require(count == expected.variables.size(), "variable missing");
}

void FuzzModifier(const uint8_t* data, size_t size) {
    const std::string maximum(reinterpret_cast<const char*>(data), size);
    std::vector<long> bounds = ReferenceLevels(maximum, kMaxModifierLevels);
    bool accepted = true;
    try {
        CheckModifierBounds(maximum);
    } catch (const HExcept& e) {
        Require(e.code == 38, "bound check raised " + std::to_string(e.code));
        accepted = false;
    }
    // What the bounds promise: at most so many levels, rows per level and modifiers.
    long expectedCount = 1;
    bool withinBounds = bounds.size() <= static_cast<size_t>(kMaxModifierLevels);
    for (long b : bounds) {
        withinBounds = withinBounds && b <= kMaxModifierRowsPerLevel;
        expectedCount *= withinBounds ? (b > 1 ? b : 1) : 1;
        withinBounds = withinBounds && expectedCount <= kMaxModifierCount;
    }
    Require(accepted == withinBounds, accepted ? "bound check accepted a maximum beyond the bounds"
                                               : "bound check refused a maximum within the bounds");
    if (!accepted)
        return;

    std::vector<long> rows(bounds.size(), 1);
    std::string current;
    long steps = 0;
    for (;; ++steps) {
        bool more = NextModifier(current, maximum);
        if (!more) {
            Require(steps == expectedCount, "enumeration ended after " + std::to_string(steps) + " of " +
                                                std::to_string(expectedCount) + " modifiers");
            Require(current == ModifierOf(std::vector<long>(bounds.size(), 1)), "not reset to the first");
            return;
        }
        Require(steps < expectedCount, "enumeration runs past its bound");
        Require(current == ModifierOf(rows), "modifier out of odometer order: " + current);
        bool first = true;
        for (long r : rows)
            first = first && r == 1;
        Require(IsFirstInstance(current) == first, "IsFirstInstance wrong for " + current);
        // Advance the expected odometer, innermost level fastest.
        for (size_t level = rows.size(); level-- > 0;) {
            long bound = bounds[level] > 1 ? bounds[level] : 1;
            if (rows[level] < bound) {
                ++rows[level];
                break;
            }
            rows[level] = 1;
        }
    }
}
