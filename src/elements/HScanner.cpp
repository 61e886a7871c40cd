#include "elements/HScanner.h"

#include <algorithm>
#include <cctype>

#include <string>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "values/HContext.h"
#include "base/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementFactory.h"
#include "elements/HElementTree.h"
#include "template/HCharClass.h"
#include "template/HTagTable.h"
#include "values/HValueParser.h"

namespace quorvel {

namespace {

constexpr size_t kMaxTagName = 72;

struct Stops {
    bool text[256] = {};
    bool tagEnd[256] = {};
    // Text stops, and the CR that Get folds with an LF.
    bool textRun[256] = {};
    // The end of a tag name read from the block (IsNameTerminator, or a CR); the end of a
    // tag's rest read from the block (its `>`, or a CR); the bytes of an `@name`.
    bool nameEnd[256] = {};
    bool restEnd[256] = {};
    bool nameChar[256] = {};
    Stops() {
        text[0] = text['<'] = text['@'] = true;
        tagEnd['>'] = true;
        for (int c = 0; c < 256; ++c) {
            textRun[c] = text[c] || c == '\r';
            nameEnd[c] = c == ' ' || c == '\t' || c == '\n' || c == '>' || c == '\r';
            nameChar[c] = IsTemplateNameChar(c);
        }
        restEnd['>'] = restEnd['\r'] = true;
    }
};
const Stops kStops;

// The length of the text run that `s` starts with: up to the first byte that
// kStops.textRun marks (a zero byte, `<`, `@` or a CR). Sixteen bytes a step where the
// processor has SSE2: text runs are most of a page.
size_t TextRunLength(std::string_view s) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128i lt = _mm_set1_epi8('<'), at = _mm_set1_epi8('@'), cr = _mm_set1_epi8('\r');
    const __m128i zero = _mm_setzero_si128();
    for (; s.size() - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, at)),
                                          _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, zero)));
        if (const int mask = _mm_movemask_epi8(stop))
            return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
#endif
    while (i < s.size() && !kStops.textRun[static_cast<unsigned char>(s[i])])
        ++i;
    return i;
}

// Appends to `tree` the bytes up to a text stop (other than a CR), which is left in the
// stream, as HInput::ReadUntil would read them, but with no copy between.
void AppendRuns(HInput& in, const bool* runStops, HElementTree& tree) {
    for (;;) {
        const std::string_view block = in.Ahead();
        const std::string_view run = block.substr(0, TextRunLength(block));
        if (!run.empty()) {
            in.Skip(run.size());
            tree.AppendText(run);
            std::string_view ahead = in.Ahead();
            if (ahead.empty())
                continue;  // the block ends here: on to the next one
            if (ahead[0] != '\r')
                return;  // at a stopping byte
        }
        int c = in.Get();
        if (c == HInput::kEof || (c != '\r' && runStops[c])) {
            in.Unget(c);
            return;
        }
        const char byte = static_cast<char>(c);  // a CR, or the LF of a CR LF pair
        tree.AppendText(std::string_view(&byte, 1));
    }
}

// Whether the tag name `name` (upper case, read up to a blank or `>`) is `tag`, as a browser
// reads it: also when a `/`, a form feed or a CR ends it (`<SCRIPT/x>`).
bool IsTag(std::string_view name, std::string_view tag) {
    if (name.compare(0, tag.size(), tag) != 0)
        return false;
    const char after = name.size() > tag.size() ? name[tag.size()] : '/';
    return after == '/' || after == '\f' || after == '\r';
}

// A browser's reading of the attributes of a tag: between attributes, after a `=`, inside
// a quoted or an unquoted value. 0 is no open tag.
enum TagState { kNoTag, kBetween, kBeforeValue, kQuoted, kUnquoted, kName, kAfterName };

}  // namespace

namespace {

// `name` in ASCII upper case, as tag names are compared.
std::string UpperName(std::string_view name) {
    std::string upper(name);
    for (char& c : upper)
        c = TemplateUpper(static_cast<unsigned char>(c));
    return upper;
}

// What the text after the tag `name` (upper case) is: a script or style start tag begins
// that content, and its end tag ends it.
[[gnu::always_inline]] inline HText::Sink ContentAfterTag(const HContext& ctx, std::string_view name) {
    if (name.size() < 5)
        return ctx.content;
    if (ctx.content == HText::kPage)
        return IsTag(name, "SCRIPT") ? HText::kScript : IsTag(name, "STYLE") ? HText::kStyle : HText::kPage;
    return IsTag(name, ctx.content == HText::kScript ? "/SCRIPT" : "/STYLE") ? HText::kPage : ctx.content;
}

// The state of an open tag after the byte `c`, as a browser reads it.
[[gnu::always_inline]] inline int NextTagState(HContext& ctx, int state, char c) {
    switch (state) {
    case kBetween:  // a `=` here begins a name, as any other byte but a blank or `/`
        return c == '>' ? kNoTag : IsTagBlank(c) || c == '/' ? kBetween : kName;
    case kName:
        return c == '>'                   ? kNoTag
               : c == '='                 ? kBeforeValue
               : IsTagBlank(c) || c == '/' ? kAfterName
                                          : kName;
    case kAfterName:
        return c == '>'         ? kNoTag
               : c == '='       ? kBeforeValue
               : c == '/'       ? kBetween
               : IsTagBlank(c) ? kAfterName
                                : kName;
    case kBeforeValue:
        if (c == '"' || c == '\'') {
            ctx.openTagQuote = c;
            return kQuoted;
        }
        return IsTagBlank(c) ? kBeforeValue : c == '>' ? kNoTag : kUnquoted;
    case kQuoted:
        return c == ctx.openTagQuote ? kBetween : kQuoted;
    case kUnquoted:
        return c == '>' ? kNoTag : IsTagBlank(c) ? kBetween : kUnquoted;
    }
    return state;
}

// Reads `text` into the open tag (ctx.openTag); returns how much it read: all of it, or up
// to and with the `>` that ended the tag.
[[gnu::always_inline]] inline size_t FeedOpenTagPart(HContext& ctx, std::string_view text) {
    int state = ctx.openTag;
    for (size_t i = 0; i < text.size(); ++i) {
        state = NextTagState(ctx, state, text[i]);
        if (state == kNoTag) {
            ctx.openTag = kNoTag;
            ctx.content = ctx.outsideTag;
            return i + 1;
        }
    }
    ctx.openTag = state;
    return text.size();
}

bool IsNameTerminator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '>'; }

// Reads `text` as page text, which a browser reaches when a tag left open ends inside text
// written as one piece (`<v s='><A N="'><SCRIPT ">`: the `'` of A's value ends v's value,
// so SCRIPT is a tag): its tags are noted as the scanner notes those it reads. Returns how
// much it read: all of it, or up to where a tag it leaves open goes on (ctx.openTag).
[[gnu::noinline]] size_t FeedPageText(HContext& ctx, std::string_view text) {
    for (size_t lt = text.find('<'); lt != std::string_view::npos; lt = text.find('<', lt + 1)) {
        size_t nameEnd = lt + 1;
        while (nameEnd < text.size() && !IsNameTerminator(static_cast<unsigned char>(text[nameEnd])))
            ++nameEnd;
        const std::string name = UpperName(text.substr(lt + 1, nameEnd - lt - 1));
        const size_t gt = text.find('>', nameEnd);
        if (gt == std::string_view::npos) {
            // A tag this text does not end goes on after it, for a browser as an open tag,
            // when it begins one: a start tag in the page, or the end tag of its script.
            const unsigned char first = name.empty() ? 0 : static_cast<unsigned char>(name[0]);
            const unsigned char second = name.size() > 1 ? static_cast<unsigned char>(name[1]) : 0;
            const HText::Sink after = ContentAfterTag(ctx, name);
            if (!(IsAsciiLetter(first) || (first == '/' && IsAsciiLetter(second))) ||
                (ctx.content != HText::kPage && after == ctx.content))
                return text.size();
            ctx.outsideTag = after;
            ctx.openTag = kBetween;
            ctx.content = HText::kScript;
            return nameEnd;
        }
        NoteUnknownTag(ctx, name, text.substr(nameEnd, gt - nameEnd));
        if (ctx.openTag)
            return gt + 1;
        lt = gt;
    }
    return text.size();
}

// What follows the end of an open tag in a piece of written text: page text, and any tag
// in it left open, and so on to the piece's end.
[[gnu::noinline]] void FeedAfterOpenTag(HContext& ctx, std::string_view text) {
    while (!text.empty())
        text.remove_prefix(ctx.openTag ? FeedOpenTagPart(ctx, text) : FeedPageText(ctx, text));
}

}  // namespace

void FeedOpenTag(HContext& ctx, std::string_view text) {
    const size_t read = ctx.openTag ? FeedOpenTagPart(ctx, text) : 0;
    if (read < text.size())
        FeedAfterOpenTag(ctx, text.substr(read));
}

bool HasQuote(std::string_view text) {
    for (char c : text)
        if (c == '"' || c == '\'')
            return true;
    return false;
}

void NoteUnknownTag(HContext& ctx, std::string_view name, std::string_view rest) {
    if (ctx.openTag) {
        FeedOpenTag(ctx, "<");
        FeedOpenTag(ctx, name);
        FeedOpenTag(ctx, rest);
        FeedOpenTag(ctx, ">");
        return;
    }
    // `<!`, `<?`, and `</` before anything but a letter begin a comment for a browser, which
    // the first `>` ends: neither a quote nor a tag name inside it counts.
    const unsigned char second = name.size() > 1 ? static_cast<unsigned char>(name[1]) : '>';
    if (!name.empty() && (name[0] == '!' || name[0] == '?' || (name[0] == '/' && !std::isalpha(second))))
        return;
    // A browser reads `<` and then anything but a letter, `/`, `!` or `?` as text, so a `<`
    // further on in what the gateway took for one tag may begin the browser's tag
    // (`<\0x<STYLE>`, `<1 x<script>`): that one is noted instead, its name in upper case.
    const unsigned char first = name.empty() ? '>' : static_cast<unsigned char>(name[0]);
    if (!IsAsciiLetter(first) && first != '/' && first != '!' && first != '?') {
        // What follows that `<`, read again as a tag: its name runs on to a blank or `/`,
        // also past where the gateway cut a long name.
        std::string after;
        if (size_t lt = name.find('<'); lt != std::string_view::npos)
            after.append(name.substr(lt + 1)).append(rest);
        else if ((lt = rest.find('<')) != std::string_view::npos)
            after.append(rest.substr(lt + 1));
        else
            return;
        const size_t blank = std::min(after.find_first_of(" \t\n\f\r/", 1), after.size());  // past an end tag's `/`
        const std::string_view again = after;
        NoteUnknownTag(ctx, UpperName(again.substr(0, blank)), again.substr(blank));
        return;
    }
    const HText::Sink after = ContentAfterTag(ctx, name);
    if (ctx.content == HText::kPage && HasQuote(rest)) {
        // A quote the gateway's `>` stands inside: the tag goes on to a later `>`, and the
        // content after it is the tag's own (`<SCRIPT X=">">` begins a script there).
        ctx.outsideTag = after;
        ctx.openTag = kBetween;
        // A name longer than the scanner reads goes on in `rest`, up to a blank or `/`.
        FeedOpenTag(ctx, rest.substr(std::min(rest.find_first_of(" \t\n\f\r/"), rest.size())));
        FeedOpenTag(ctx, ">");
        if (ctx.openTag) {
            ctx.content = HText::kScript;
            return;
        }
    }
    ctx.content = after;
}

namespace {

// Appends an unknown tag whose name `text` holds, as it was read (name upper-cased):
// the rest of the tag up to its `>`, and that `>` (or the end of input) consumed as its empty
// attribute list would consume it. The tag may begin script or style content (NoteUnknownTag).
void AppendUnknownTag(HContext& ctx, HInput& in, std::string& text, HElementTree& tree) {
    const size_t nameEnd = text.size();
    in.ReadUntil(kStops.tagEnd, text);
    tree.AppendText("<");
    tree.AppendText(text);
    NoteUnknownTag(ctx, std::string_view(text).substr(0, nameEnd), std::string_view(text).substr(nameEnd));
    in.Get();
    tree.AppendText(">");
}

constexpr size_t kNotInBlock = static_cast<size_t>(-1);

// The length of the tag name that `ahead` (the block read, after a `<`) starts with, when
// ReadTagName would read it from there: the name ends at a terminator, or is kMaxTagName
// bytes long. kNotInBlock when a CR (which Get folds with an LF) or the block's end comes
// first: ReadTagName then reads it byte by byte.
size_t TagNameInBlock(std::string_view ahead) {
    const size_t limit = std::min(ahead.size(), kMaxTagName);
    size_t n = 0;
    while (n < limit && !kStops.nameEnd[static_cast<unsigned char>(ahead[n])])
        ++n;
    return n == kMaxTagName || (n < limit && ahead[n] != '\r') ? n : kNotInBlock;
}

// AppendUnknownTag for a tag whose name (`nameSize` bytes) and rest up to its `>` lie in
// `ahead`, the block read, with no CR: appended from where they lie, and skipped. False,
// with nothing read, when they do not.
bool AppendUnknownTagInBlock(HContext& ctx, HInput& in, std::string_view ahead, size_t nameSize,
                             HElementTree& tree) {
    size_t end = nameSize;
    while (end < ahead.size() && !kStops.restEnd[static_cast<unsigned char>(ahead[end])])
        ++end;
    if (end == ahead.size() || ahead[end] != '>')
        return false;
    tree.AppendToken(kTagUnknown, ctx.reading.tokenAt);
    char upper[kMaxTagName];
    for (size_t i = 0; i < nameSize; ++i)
        upper[i] = TemplateUpper(static_cast<unsigned char>(ahead[i]));
    const std::string_view name(upper, nameSize);
    tree.AppendText("<");
    tree.AppendText(name);
    tree.AppendText(ahead.substr(nameSize, end + 1 - nameSize));  // the rest and its `>`
    NoteUnknownTag(ctx, name, ahead.substr(nameSize, end - nameSize));
    in.Skip(end + 1);
    return true;
}

void SkipBlanks(HInput& in) {
    int c;
    do
        c = in.Get();
    while (c == ' ' || c == '\t' || c == '\n');
    in.Unget(c);
}

// The scanner upper-cases a tag's name, so `<!doctype html>` reads as "!DOCTYPE html".
bool IsDocumentType(const std::string& tagText) {
    return tagText.compare(0, 8, "!DOCTYPE") == 0 &&
           (tagText.size() == 8 || tagText[8] == ' ' || tagText[8] == '\t' || tagText[8] == '\n');
}

// The element of the start tag `index`: only a tag with behaviour has one, unless the tree
// keeps its tokens.
std::unique_ptr<HElement> NewElement(const HElementTree& tree, int index) {
    return tree.KeepsTokens() ? CreateElement(index) : CreateBehaviourElement(index);
}

// The start or end tag `index`, whose name has been read: an element for a start tag (null
// for one without behaviour read for a request), a token piece for an end tag.
int TagToken(HContext& ctx, HElementTree& tree, int index, std::unique_ptr<HElement>& slot) {
    ctx.reading.token = index;
    if (index < kFirstEndTag) {
        slot = NewElement(tree, index);
    } else {
        slot = nullptr;
        tree.AppendToken(index, ctx.reading.tokenAt);
    }
    return index;
}

}  // namespace

// Reads a tag name after its `<`, upper-cased, into `name`. Returns its index, or
// kTagUnknown for a name that is not in the table (the rest of the tag is left unread).
[[gnu::always_inline]] static inline int ReadTagName(HInput& in, std::string& name) {
    bool terminated = false;
    while (name.size() < kMaxTagName) {
        int c = in.Get();
        if (c == HInput::kEof)
            break;
        if (IsNameTerminator(c)) {
            in.Unget(c);
            terminated = true;
            break;
        }
        name.push_back(TemplateUpper(c));
    }
    if (terminated) {
        int index = LookupTag(name);
        if (index != kTagUnknown)
            return index;
    }
    return kTagUnknown;
}

int ScanDocumentStart(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot) {
    HInput& in = *ctx.input;
    std::string& text = tree.Scratch();
    for (bool typeRead = false;; typeRead = true) {
        SkipBlanks(in);
        ctx.reading.tokenAt = in.Offset();
        int c = in.Get();
        if (c != '<') {
            // Read as the token it is, so that a fault is placed after it.
            if (c == HInput::kEof)
                return kTagEof;
            if (c == '@') {
                ctx.reading.token = -1;
                in.Unget(c);
                HValuePtr value;
                ParseValue(in, value);
                return -1;
            }
            text.assign(1, static_cast<char>(c));
            in.ReadUntil(kStops.text, text);
            return kTagText;
        }
        text.clear();
        int index = ReadTagName(in, text);
        if (index != kTagUnknown) {
            ctx.reading.token = index;
            slot = index < kFirstEndTag ? NewElement(tree, index) : nullptr;
            return index;
        }
        const size_t nameEnd = text.size();
        in.ReadUntil(kStops.tagEnd, text);
        if (typeRead || !IsDocumentType(text))
            return kTagUnknown;
        // The document type and a line end, written before the page.
        tree.AppendToken(kTagUnknown, ctx.reading.tokenAt);
        tree.AppendText("<");
        tree.AppendText(text);
        NoteUnknownTag(ctx, std::string_view(text).substr(0, nameEnd), std::string_view(text).substr(nameEnd));
        in.Get();
        tree.AppendText(">\n");
    }
}

int ScanInto(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot) {
    HInput& in = *ctx.input;
    std::string& text = tree.Scratch();
    for (;;) {
        int c = in.Get();
        text.clear();
        if (c == '<') {
            ctx.reading.tokenAt = in.Offset() - 1;
            const std::string_view ahead = in.Ahead();
            const size_t n = TagNameInBlock(ahead);
            if (n != kNotInBlock) {
                if (n < kMaxTagName) {
                    int index = LookupTag(ahead.substr(0, n));
                    if (index != kTagUnknown) {
                        in.Skip(n);
                        return TagToken(ctx, tree, index, slot);
                    }
                }
                if (AppendUnknownTagInBlock(ctx, in, ahead, n, tree))
                    continue;
            }
            int index = ReadTagName(in, text);
            if (index != kTagUnknown)
                return TagToken(ctx, tree, index, slot);
            tree.AppendToken(kTagUnknown, ctx.reading.tokenAt);
            AppendUnknownTag(ctx, in, text, tree);
        } else if (c == '@') {
            const size_t at = in.Offset() - 1;  // of the `@`
            ctx.reading.token = -1;
            ctx.reading.tokenAt = at;
            // A reference to a name met before needs no parsing: `@`, the name, and after
            // it, in the same block, anything but the `(` of a call.
            std::string_view ahead = in.Ahead();
            size_t n = 0;
            while (n < ahead.size() && kStops.nameChar[static_cast<unsigned char>(ahead[n])])
                ++n;
            if (n > 0 && n < ahead.size() && ahead[n] != '(') {
                if (tree.AppendReference(ahead.substr(0, n), ctx.content, at)) {
                    in.Skip(n);
                    continue;
                }
            }
            in.Unget(c);
            HValuePtr value;
            ParseValue(in, value);
            tree.AppendValue(std::move(value), ctx.content, at);
        } else if (c != HInput::kEof) {
            // A text run, straight from the read buffer (in an open tag, through `text`).
            const char byte = static_cast<char>(c);
            if (tree.KeepsTokens())
                tree.AppendToken(kTagText, in.Offset() - 1);
            if (ctx.openTag) {
                text.assign(1, byte);
                in.ReadUntil(kStops.text, text);
                tree.AppendText(text);
                FeedOpenTag(ctx, text);
                continue;
            }
            tree.AppendText(std::string_view(&byte, 1));
            AppendRuns(in, kStops.textRun, tree);
        } else {
            return kTagEof;
        }
    }
}

int PassEndTag(HContext& ctx, int token, std::unique_ptr<HElement>& slot) {
    HElementTree& tree = *ctx.tree;
    std::string& text = tree.Scratch();
    text.assign(TagName(token));
    tree.AppendToken(kTagUnknown, ctx.reading.tokenAt);
    AppendUnknownTag(ctx, *ctx.input, text, tree);
    return ScanInto(ctx, tree, slot);
}

void CloseEndTag(HContext& ctx) {
    HInput& in = *ctx.input;
    int c;
    do
        c = in.Get();
    while (c == ' ' || c == '\t' || c == '\n');
    if (c == '>')
        return;
    in.Unget(c);
    throw HExcept(kErrEndTagSyntax);
}

}  // namespace quorvel
