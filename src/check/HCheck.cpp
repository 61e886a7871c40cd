#include "check/HCheck.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "check/HCheckRules.h"
#include "config/HConfig.h"
#include "values/HContext.h"
#include "base/HExcept.h"
#include "elements/HElement.h"
#include "elements/HIncludeElement.h"
#include "elements/HElementTree.h"
#include "template/HTagTable.h"
#include "template/HFileIo.h"

namespace quorvel {

namespace {

constexpr char kConfigFile[] = "quorvel.cfg";

// A file of the check. Its content is read only when a position in it is printed.
struct SourceFile {
    std::string path;
    std::vector<size_t> tokenStarts;  // where the tokens read from it begin
    std::optional<std::string> content;

    const std::string& Content() {
        if (!content) {
            // Plain reads: the stream library would add its start-up cost to every request.
            content.emplace();
            HFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            char block[65536];
            ssize_t n;
            while (fd && ((n = ::read(fd.Get(), block, sizeof block)) > 0 || (n < 0 && errno == EINTR)))
                if (n > 0)
                    content->append(block, static_cast<size_t>(n));
        }
        return *content;
    }
};

struct Position {
    int file = 0;
    size_t offset = 0;
};

struct Diagnostic {
    size_t seq = 0;  // document order: the token at which it stands
    Position at;
    bool error = false;
    std::string message;
};

using Identity = std::pair<dev_t, ino_t>;

std::optional<Identity> IdentityOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return Identity(st.st_dev, st.st_ino);
}

std::string TagText(int token) { return "<" + std::string(TagName(token)) + ">"; }

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string Quote(std::string_view text) { return "\"" + CheckExcerpt(text) + "\""; }

// Where reading failed: the file and byte, the tag or at-sign expression being read then
// (its tag index, -1 for an at-sign expression) and where it starts, and how deep the file
// is included.
struct Fault {
    int file = 0;
    size_t offset = 0;
    int token = 0;
    size_t tokenStart = 0;
    int depth = 0;
};

// One template of the command line and what reading it found.
struct Template {
    int file = 0;
    bool readable = true;
    std::optional<Identity> identity;
    std::unique_ptr<HElementTree> tree;
    std::unique_ptr<HCheckNode> document;  // the nodes of the tree; the root among them
    const HCheckNode* root = nullptr;
    HCheckDamage damage;
    std::set<Identity> includes;
    std::vector<Diagnostic> diagnostics;
};

// The detail of a reading error: what was being read when it was raised.
std::string ReadingDetail(const HExcept& e, const Fault& fault) {
    std::string where;
    if (fault.token == -1)
        where = "in the @ expression";
    else if (fault.token >= kFirstStartTag && fault.token <= kLastStartTag)
        where = "in " + TagText(fault.token);
    switch (e.code) {
    case kErrHtmlSyntax:
        return "elements nested deeper than " + std::to_string(HElement::kMaxDepth);
    case kErrEndTagSyntax:
        return TagText(fault.token) + " must be closed by >";
    case kErrIncludeMissing:
        if (e.detail.empty())
            return "<INCLUDE> has no FILE";
        if (fault.depth >= HIncludeElement::kMaxDepth)
            return e.detail + " (inclusions nested deeper than " +
                   std::to_string(HIncludeElement::kMaxDepth) + ": does a file include itself?)";
        return e.detail;
    case kErrIncludeUnmatched:
        return e.detail + ": " + TagText(fault.token) + " closes no element opened in this file";
    default:
        return e.detail.empty() ? where : e.detail;
    }
}

// `text`: an unknown tag's text.
std::string FirstTokenDetail(int token, const std::string& text) {
    switch (token) {
    case kTagEof:
        return "the file holds nothing else than white space";
    case kTagText:
        return "the file starts with text";
    case -1:
        return "the file starts with an @ expression";
    case kTagUnknown: {
        return "the file starts with <" + text.substr(0, text.find_first_of(" \t\n")) + ">";
    }
    default:
        break;
    }
    return "the file starts with " + TagText(token);
}

std::string WhyUnreadable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::string("cannot read the file: ") + std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return "cannot read the file: not a regular file";
    if (!HFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)))
        return std::string("cannot read the file: ") + std::strerror(errno);
    return "cannot read the file";
}

class Checker {
public:
    Checker() = default;

    int FileIndex(const std::string& path) {
        auto it = index_.find(path);
        if (it != index_.end())
            return it->second;
        files_.push_back(SourceFile{path, {}, std::nullopt});
        int i = static_cast<int>(files_.size() - 1);
        index_[path] = i;
        return i;
    }

    void ReadConfigurationFile() {
        std::unique_ptr<HInput> in = HInput::OpenFile(kConfigFile);
        if (!in)
            return;
        int file = FileIndex(kConfigFile);
        std::vector<size_t> valueless;
        try {
            ReadConfigurationEntries(ctx_, *in, &valueless);
        } catch (const HExcept& e) {
            Position at{file, FaultOffset(e, Position{file, in->Offset()})};
            // Every error of the file is error 35 in a request; the reader's own tells why.
            AddConfiguration(at, true, CheckMessage(35, HExcept::MessageText(e.code)));
            return;
        }
        // The file has no comments: a word outside a value is an entry without a value.
        // One warning per line is enough to show that.
        const std::string& content = files_[file].Content();
        size_t lastLine = std::string::npos;
        for (size_t offset : valueless) {
            size_t name = content.find_first_not_of(" \t\r\n", offset);
            size_t line = static_cast<size_t>(std::count(content.begin(), content.begin() + name, '\n'));
            if (line == lastLine)
                continue;
            lastLine = line;
            size_t end = name + 1;
            while (end < content.size() && (std::isalnum(static_cast<unsigned char>(content[end])) ||
                                            content[end] == '_'))
                ++end;
            AddConfiguration(Position{file, name}, false,
                             "\"" + content.substr(name, end - name) +
                                 "\" is an entry without a value (the file has no comments: "
                                 "every word outside a value is an entry)");
        }
        // A `>` ends the file early.
        size_t end = in->Offset();
        for (int c = in->Get(); c != HInput::kEof; c = in->Get()) {
            if (!IsBlank(c)) {
                AddConfiguration(Position{file, end - 1}, false,
                                 "a > ends the configuration file, so the rest is never read: " +
                                     Quote(content.substr(end)));
                break;
            }
        }
    }

    void Read(const std::string& path) {
        Template t;
        t.file = FileIndex(path);
        ctx_.templateStream = HInput::OpenFile(path);
        if (!ctx_.templateStream) {
            t.readable = false;
            templates_.push_back(std::move(t));
            return;
        }
        t.identity = IdentityOf(path);
        ctx_.input = ctx_.templateStream.get();
        t.tree = std::make_unique<HElementTree>(true);
        ctx_.tree = t.tree.get();
        ctx_.reading = HReadPlace();
        t.tree->EnterFile(path);
        std::optional<Fault> fault;
        try {
            ReadTree(t);
        } catch (HExcept& e) {
            t.tree->PlaceReadingFault(ctx_, e, *ctx_.input);
            fault = FaultOf(t);
            size_t at = FaultOffset(e, Position{fault->file, fault->offset});
            if (e.code == kErrHtmlSyntax || e.code == kErrIncludeMissing || e.code == kErrIncludeUnmatched)
                at = fault->tokenStart;  // the tag is at fault, not what follows it
            std::string detail = ReadingDetail(e, *fault);
            if (fault->token >= kFirstStartTag && fault->token <= kLastStartTag)
                BlameOpeningQuote(e.code, fault->file, fault->tokenStart, at, detail);
            Add(t, t.tree->Size(), Position{fault->file, at}, true, CheckMessage(e.code, detail));
        }
        BuildNodes(t, fault);
        if (fault) {
            for (const HCheckNode* open = t.root; open;
                 open = open->Children().empty() ? nullptr : open->Children().back().get())
                t.damage.unclosed.insert(open);
        }
        const std::vector<std::string>& read = t.tree->Files();
        for (size_t i = 1; i < read.size(); ++i)
            if (auto id = IdentityOf(read[i]))
                t.includes.insert(*id);
        ctx_.input = nullptr;
        ctx_.tree = nullptr;
        ctx_.templateStream.reset();
        templates_.push_back(std::move(t));
    }

    // Walks every tree that was read, then writes the report. Returns the exit status.
    // Counted by Report: the files read (templates and included files, not the
    // configuration file) and the lines printed.
    struct Counts {
        size_t files = 0;
        size_t errors = 0;
        size_t warnings = 0;
    };

    int Report(std::string& out, Counts& counts) {
        HCheckNames names;
        names.configuration = &ctx_.symbols;
        // A file that a checked page includes sends its fields as part of that page.
        for (const Template& t : templates_) {
            if (!t.root || IncludedByAnother(t))
                continue;
            std::set<std::string> fields;
            CollectFieldNames(*t.root, fields);
            for (const std::string& name : fields)
                names.fields[name].insert(t.root);
        }
        for (Template& t : templates_)
            if (t.root)
                AddFindings(t, names);

        std::set<std::string> printed;
        bool error = false;
        bool unreadable = false;
        auto print = [&](const Diagnostic& d) {
            std::string line = Format(d);
            if (printed.insert(line).second) {
                out += line;
                ++(d.error ? counts.errors : counts.warnings);
            }
            error = error || d.error;
        };
        for (const Diagnostic& d : configuration_)
            print(d);
        for (Template& t : templates_) {
            if (!t.readable) {
                out += files_[t.file].path + ": error: " + WhyUnreadable(files_[t.file].path) + "\n";
                ++counts.errors;
                unreadable = true;
                continue;
            }
            if (IncludedByAnother(t))
                continue;
            std::stable_sort(t.diagnostics.begin(), t.diagnostics.end(),
                             [](const Diagnostic& a, const Diagnostic& b) {
                                 return a.seq != b.seq ? a.seq < b.seq : a.at.offset < b.at.offset;
                             });
            for (const Diagnostic& d : t.diagnostics)
                print(d);
        }
        std::set<int> unread;
        for (const Template& t : templates_)
            if (!t.readable)
                unread.insert(t.file);
        for (size_t i = 0; i < files_.size(); ++i)
            if (files_[i].path != kConfigFile && !unread.count(static_cast<int>(i)))
                ++counts.files;
        return unreadable ? 2 : error ? 1 : 0;
    }

private:
    // Reads the template as the request driver does, and notes the text that reading
    // leaves unread.
    void ReadTree(Template& t) {
        int status = 1;
        int token = HElement::ReadDocument(ctx_, status);
        if (token != kTagHtml) {
            Add(t, 0, Position{t.file, ctx_.reading.tokenAt}, true,
                CheckMessage(8, FirstTokenDetail(token, t.tree->Scratch())));
            return;
        }
        // An end tag that closes nothing is read as text (the rules warn about it), so
        // only the end of the root leaves text unread.
        if (status == 1) {
            for (;;) {
                size_t at = ctx_.input->Offset();
                int c = ctx_.input->Get();
                if (c == HInput::kEof)
                    break;
                if (!IsBlank(c)) {
                    Add(t, t.tree->Size(), Position{t.file, at}, false,
                        "the text after </HTML> is never read: " +
                            Quote(files_[t.file].Content().substr(at)));
                    break;
                }
            }
        }
    }

    // The checker's index of the file the tree knows as `file`.
    int FileOf(const Template& t, unsigned file) {
        const std::vector<std::string>& read = t.tree->Files();
        return file < read.size() ? FileIndex(read[file]) : t.file;
    }

    Fault FaultOf(const Template& t) {
        Fault f;
        const HReadPlace& r = ctx_.reading;
        f.file = FileOf(t, r.file);
        f.offset = r.at;
        f.token = r.token;
        f.tokenStart = r.tokenAt;
        f.depth = r.includeDepth;
        return f;
    }

    // Makes the nodes the rules walk of the pieces of the tree, notes where each token of a
    // file starts, and finds the root and, after a reading fault, the element being read.
    void BuildNodes(Template& t, const std::optional<Fault>& fault) {
        t.document = std::make_unique<HCheckNode>();
        std::vector<std::pair<HCheckNode*, size_t>> open{{t.document.get(), SIZE_MAX}};
        HCheckNode* text = nullptr;  // the text run or unknown tag whose text comes next
        std::vector<int> files(t.tree->Files().size());
        for (size_t i = 0; i < files.size(); ++i)
            files[i] = FileOf(t, static_cast<unsigned>(i));
        t.tree->Visit(0, t.tree->Size(), [&](const HElementTree::PieceView& p) {
            while (open.size() > 1 && p.index >= open.back().second)
                open.pop_back();
            if (p.kind == HElementTree::PieceView::kText) {
                if (text)
                    text->text.append(p.text);
                return;
            }
            text = nullptr;
            const int file = p.file < files.size() ? files[p.file] : t.file;
            files_[file].tokenStarts.push_back(p.offset);
            if (p.kind == HElementTree::PieceView::kToken && p.token >= kFirstEndTag)
                return;
            auto node = std::make_unique<HCheckNode>();
            node->file = file;
            node->offset = p.offset;
            node->seq = p.index;
            HCheckNode* added = node.get();
            open.back().first->children.push_back(std::move(node));
            if (p.kind == HElementTree::PieceView::kToken) {
                added->tag = p.token;
                text = added;
            } else if (p.kind == HElementTree::PieceView::kValue) {
                added->tag = kTagLookup;
                added->value = p.value;
            } else if (p.element) {
                added->tag = p.element->TagIndex();
                added->element = p.element;
                open.emplace_back(added, p.end);
                if (!t.root && added->tag == kTagHtml)
                    t.root = added;
                if (fault && fault->token >= kFirstStartTag && fault->token <= kLastStartTag &&
                    file == fault->file && p.offset == fault->tokenStart)
                    t.damage.broken = added;
            }
        });
        // An unknown tag's text is its tag without the < and >.
        std::vector<HCheckNode*> pending{t.document.get()};
        while (!pending.empty()) {
            HCheckNode* node = pending.back();
            pending.pop_back();
            if (node->tag == kTagUnknown && node->text.size() >= 2)
                node->text = node->text.substr(1, node->text.size() - 2);
            for (auto& child : node->children)
                pending.push_back(child.get());
        }
    }

    // A quote left open in a tag's attribute list runs on to the next quote or to the end
    // of the file, and reading fails far from it. When the error `code` in the tag beginning
    // at `tagStart` is the end of the file in a quoted value, or stands on the line where a
    // value spanning lines and holding tags closes, the error is moved to the value's
    // opening quote and `detail` says where reading failed.
    void BlameOpeningQuote(int code, int file, size_t tagStart, size_t& at, std::string& detail) {
        if (code != kErrUnexpectedEof && code != kErrAttributeSyntax && code != kErrListSyntax)
            return;
        const std::string& content = files_[file].Content();
        size_t end = std::min(at, content.size());
        size_t open = std::string::npos, close = std::string::npos;
        bool inside = false;
        for (size_t i = tagStart; i < end; ++i) {
            if (content[i] != '"')
                continue;
            if (!inside) {
                inside = true;
                open = i;
            } else if (i + 1 < end && content[i + 1] == '"') {
                ++i;  // a quote written twice is one quote of the value
            } else {
                inside = false;
                close = i;
            }
        }
        auto lineOf = [&](size_t offset) {
            return 1 + std::count(content.begin(), content.begin() + static_cast<long>(offset), '\n');
        };
        if (inside) {
            if (code != kErrUnexpectedEof)
                return;
            detail += ": the quoted value that opens here is never closed";
        } else if (close != std::string::npos) {
            std::string_view value = std::string_view(content).substr(open, close - open);
            bool holdsTag = false;
            for (size_t p = value.find('<'); p != std::string_view::npos && !holdsTag;
                 p = value.find('<', p + 1))
                holdsTag = p + 1 < value.size() &&
                           (std::isalpha(static_cast<unsigned char>(value[p + 1])) || value[p + 1] == '/');
            if (!holdsTag || lineOf(close) != lineOf(end) || lineOf(open) == lineOf(close))
                return;
            detail += ": the quoted value that opens here runs to line " +
                      std::to_string(lineOf(close)) + ", where reading fails (a closing quote missing?)";
        } else {
            return;
        }
        at = open;
    }

    // Where a reading error stands: the stream's position when it was raised, except that
    // the list reader has consumed the byte it rejects.
    size_t FaultOffset(const HExcept& e, Position at) {
        if (e.code == kErrListSyntax && at.offset > 0 && at.offset < files_[at.file].Content().size())
            return at.offset - 1;
        return at.offset;
    }

    void AddFindings(Template& t, const HCheckNames& names) {
        std::vector<HCheckFinding> findings;
        CheckTree(*t.root, names, t.damage, findings);
        for (const HCheckFinding& f : findings)
            Add(t, f.element->seq, Position{f.element->file, Locate(*f.element, f)}, f.error, f.message);
    }

    // Where inside the tag a finding points: at its attribute or @reference when that can
    // be found in the tag's text, else at the tag.
    size_t Locate(const HCheckNode& site, const HCheckFinding& f) {
        SourceFile& file = files_[site.file];
        const std::string& content = file.Content();
        std::vector<size_t>& starts = file.tokenStarts;
        if (!std::is_sorted(starts.begin(), starts.end())) {
            std::sort(starts.begin(), starts.end());
            starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        }
        auto next = std::upper_bound(starts.begin(), starts.end(), site.offset);
        size_t end = next == starts.end() ? content.size() : std::min(*next, content.size());
        std::string_view tag = std::string_view(content).substr(0, end);
        size_t from = site.offset;
        if (!f.attribute.empty()) {
            for (size_t p = tag.find_first_of(" \t\n", from); p != std::string_view::npos;
                 p = tag.find_first_of(" \t\n", p + 1)) {
                std::string_view word = tag.substr(p + 1, f.attribute.size());
                size_t after = p + 1 + f.attribute.size();
                if (word.size() == f.attribute.size() &&
                    strncasecmp(word.data(), f.attribute.data(), word.size()) == 0 &&
                    (after >= tag.size() || !(std::isalnum(static_cast<unsigned char>(tag[after])) ||
                                             tag[after] == '_'))) {
                    from = p + 1;
                    break;
                }
            }
        }
        if (!f.needle.empty()) {
            size_t at = tag.find(f.needle, from);
            if (at != std::string_view::npos)
                return at;
        }
        return from;
    }

    bool IncludedByAnother(const Template& t) const {
        if (!t.identity)
            return false;
        for (const Template& other : templates_)
            if (&other != &t && other.identity != t.identity && other.includes.count(*t.identity))
                return true;
        return false;
    }

    std::string Format(const Diagnostic& d) {
        SourceFile& file = files_[d.at.file];
        const std::string& content = file.Content();
        size_t offset = std::min(d.at.offset, content.size());
        // A CR LF pair is read as one LF: a position on its LF is the position of its CR.
        if (offset > 0 && offset < content.size() && content[offset] == '\n' &&
            content[offset - 1] == '\r')
            --offset;
        auto begin = content.begin();
        size_t line = 1 + static_cast<size_t>(std::count(begin, begin + offset, '\n'));
        size_t lineStart = 0;
        for (size_t i = offset; i > 0; --i)
            if (content[i - 1] == '\n') {
                lineStart = i;
                break;
            }
        size_t column = offset - lineStart + 1;
        return file.path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
               (d.error ? "error: " : "warning: ") + d.message + "\n";
    }

    void AddConfiguration(Position at, bool error, std::string message) {
        Diagnostic d;
        d.at = at;
        d.error = error;
        d.message = std::move(message);
        configuration_.push_back(std::move(d));
    }

    void Add(Template& t, size_t seq, Position at, bool error, std::string message) {
        Diagnostic d;
        d.seq = seq;
        d.at = at;
        d.error = error;
        d.message = std::move(message);
        t.diagnostics.push_back(std::move(d));
    }

    std::vector<SourceFile> files_;
    std::map<std::string, int> index_;
    HContext ctx_;
    std::vector<Diagnostic> configuration_;
    std::vector<Template> templates_;
};

}  // namespace

int CheckTemplates(const std::vector<std::string>& files, std::string& out, std::string* summary) {
    Checker checker;
    checker.ReadConfigurationFile();
    for (const std::string& path : files)
        checker.Read(path);
    Checker::Counts counts;
    int status = checker.Report(out, counts);
    if (summary) {
        auto count = [](size_t n, const char* what) {
            return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
        };
        *summary = count(counts.files, "file") + " checked: " + count(counts.errors, "error") +
                   ", " + count(counts.warnings, "warning") + "\n";
    }
    return status;
}

int RunCheck(int count, char** args) {
    if (count < 1) {
        std::fputs("usage: quorvel --check FILE...\n", stderr);
        return 2;
    }
    std::vector<std::string> files(args, args + count);
    std::string out;
    std::string summary;
    int status = CheckTemplates(files, out, &summary);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    std::fputs(summary.c_str(), stderr);
    return status;
}

}  // namespace quorvel
