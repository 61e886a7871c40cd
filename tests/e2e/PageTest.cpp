// Whole page requests without a database: the real binary, a site directory, CGI
// variables, and byte-for-byte comparison of what reaches standard output.
#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <fstream>
#include <unistd.h>

#include "e2e/E2eHarness.h"

namespace {

const char kHeader[] = "Content-TYPE: text/html\n\n";

struct PageCase {
    const char* name;
    const char* config;    // quorvel.cfg, nullptr for none
    const char* page;      // t.htmx
    const char* query;
    const char* expected;  // standard output
};

const PageCase kPages[] = {
    {"implicit paragraph ends", nullptr, "<HTML><P>one<P>two</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><P>one</P><P>two</P></HTML>"},
    {"an end tag that closes nothing is written as text, and reading goes on", nullptr,
     "<HTML><BODY><P>Line one<BR>two</P><H2>x</H2></dbresult>more</BODY></HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><BODY><P>Line one</P><BR>two</P><H2>x</H2></DBRESULT>more</BODY></HTML>"},
    {"list items have no end tag", nullptr, "<html><ul><li>a<li>b</ul></html>", "",
     "Content-TYPE: text/html\n\n<HTML><UL><LI>a<LI>b</UL></HTML>"},
    {"empty tags take no content", nullptr, "<HTML><BR>x<IMG SRC=x.gif>y</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><BR>x<IMG SRC=x.gif>y</HTML>"},
    {"unknown tags are written back", nullptr, "<HTML><font color=red>x</font></HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><FONT color=red>x</FONT></HTML>"},
    {"references and at signs in text", "X=ex", "<HTML>a@@b @X.</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML>a@b ex.</HTML>"},
    {"LOOKUP written as a tag is plain", nullptr, "<HTML><LOOKUP NAME=X></HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><LOOKUP NAME=X></HTML>"},
    {"attribute map order and the last duplicate", nullptr,
     "<HTML><IMG WIDTH=5 ALT=\"y\" SRC=x><A TYPE=t HREF=h HREF=g>.</A></HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><IMG SRC=x WIDTH=5 ALT=\"y\"><A HREF=g TYPE=t>.</A></HTML>"},
    {"attribute values are evaluated, quoted kinds stay quoted", "C=red Q=\"a@C\"",
     "<HTML><BODY BGCOLOR=@C TEXT=\"x@C\" LINK=@@>.</BODY></HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><BODY BGCOLOR=red LINK=\"@\" TEXT=\"xred\">.</BODY></HTML>"},
    {"query string variables", nullptr, "<HTML>@a|@b</HTML>", "a=1&b=x+y%21",
     "Content-TYPE: text/html\n\n<HTML>1|x y!</HTML>"},
    {"document type declaration before HTML", nullptr, "<!doctype html>\n\n <HTML>x", "",
     "Content-TYPE: text/html\n\n<!DOCTYPE html>\n<HTML>x</HTML>"},
    {"leading white space before HTML", nullptr, " \n\t<HTML>x", "",
     "Content-TYPE: text/html\n\n<HTML>x</HTML>"},
    {"open elements close at the end of input", nullptr, "<HTML><B>x", "",
     "Content-TYPE: text/html\n\n<HTML><B>x</B></HTML>"},
    {"CR LF read as LF", nullptr, "<HTML>\r\na\r\n</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML>\na\n</HTML>"},
    {"FIXED_WIDTH", "N=Ada", "<HTML>[@FIXED_WIDTH(@N,5)][@fixed_width(abcdefgh,3)]</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML>[Ada  ][abc]</HTML>"},
    {"configuration header and quoted values", "[site]\nA = \"1 2\"\nB=@A", "<HTML>@B</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML>1 2</HTML>"},
    {"query string overrides the configuration", "_ERR_URL_=cfg.htm V=cfg", "<HTML>@V</HTML>", "V=qs",
     "Content-TYPE: text/html\n\n<HTML>qs</HTML>"},
    // Into the page, by origin: the author's text as it stands, the request's escaped once.
    {"page: the author's markup stands", "B=\"<b>x</b>\"", "<HTML>@B</HTML>", "",
     "Content-TYPE: text/html\n\n<HTML><b>x</b></HTML>"},
    {"page: a request value is shown, not run", nullptr,
     "<HTML>You searched for @Q. <INPUT VALUE=\"@Q\"></HTML>", "Q=%3Cscript%3Ex%3C/script%3E%22%3E",
     "Content-TYPE: text/html\n\n<HTML>You searched for &#60;script&#62;x&#60;/script&#62;&#34;&#62;. "
     "<INPUT VALUE=\"&#60;script&#62;x&#60;/script&#62;&#34;&#62;\"></HTML>"},
    {"page: a request value overriding the configuration is data", "B=\"<b>x</b>\"", "<HTML>@B</HTML>",
     "B=%3Cb%3E%26%0A", "Content-TYPE: text/html\n\n<HTML>&#60;b&#62;&#38;<BR></HTML>"},
    {"page: data with a blank stays one unquoted attribute value", "C=\"red x\"",
     "<HTML><BODY BGCOLOR=@C TEXT=@S>.</BODY></HTML>", "S=1+onclick%3Dalert(1)",
     "Content-TYPE: text/html\n\n<HTML><BODY BGCOLOR=red x TEXT=\"1 onclick=alert(1)\">.</BODY></HTML>"},
    {"page: _RAW_REQUEST_VALUES_ in the configuration writes request values as they came",
     "_RAW_REQUEST_VALUES_=TRUE", "<HTML>@Q</HTML>", "Q=%3Cb%3E", "Content-TYPE: text/html\n\n<HTML><b></HTML>"},
    {"page: _RAW_REQUEST_VALUES_ from the request changes nothing", nullptr, "<HTML>@Q</HTML>",
     "_RAW_REQUEST_VALUES_=TRUE&Q=%3Cb%3E", "Content-TYPE: text/html\n\n<HTML>&#60;b&#62;</HTML>"},
    // Escaped for the place it lands: script, style sheet, URL.
    {"script: a request value ends no string, statement or script", nullptr,
     "<HTML><SCRIPT>var q = '@Q';</SCRIPT></HTML>", "Q=%27;alert(1)//%3C/script%3E%E2%80%A8%C3%A9%FF",
     "Content-TYPE: text/html\n\n<HTML><SCRIPT>var q = "
     "'\\x27\\x3Balert\\x281\\x29\\x2F\\x2F\\x3C\\x2Fscript\\x3E\\u2028\xC3\xA9\\xFF';</SCRIPT></HTML>"},
    {"script: event handlers, SCRIPT/X and FIXED_WIDTH cut before escaping", nullptr,
     "<HTML><A ONCLICK=\"f('@Q')\">a</A><IMG ONERROR=@Q><script/x>'@FIXED_WIDTH(@Q,3)'</script></HTML>", "Q=ab%27-c",
     "Content-TYPE: text/html\n\n<HTML><A ONCLICK=\"f('ab\\x27\\x2Dc')\">a</A><IMG ONERROR=ab\\x27\\x2Dc>"
     "<SCRIPT/X>'ab\\x27'</SCRIPT></HTML>"},
    {"script: a tag written inside a script is script text", nullptr,
     "<HTML><SCRIPT>document.write('<IMG SRC=@U ALT=@Q>')</SCRIPT></HTML>", "Q=%27);alert(1)//&U=javascript:x",
     "Content-TYPE: text/html\n\n<HTML><SCRIPT>document.write('<IMG SRC=#blocked "
     "ALT=\\x27\\x29\\x3Balert\\x281\\x29\\x2F\\x2F>')</SCRIPT></HTML>"},
    {"script: an unknown tag's handler holding `>` is the tag's to its real end", nullptr,
     "<HTML><BUTTON ONCLICK=\"if (a > b) go('@Q')\">x @Q</BUTTON></HTML>", "Q=%27);alert(1)//",
     "Content-TYPE: text/html\n\n<HTML><BUTTON ONCLICK=\"if (a > b) go('\\x27\\x29\\x3Balert\\x281\\x29\\x2F\\x2F')\">"
     "x ');alert(1)//</BUTTON></HTML>"},
    {"script: a SCRIPT tag whose quoted value holds `>` begins its script at its real end", nullptr,
     "<HTML><SCRIPT DATA-X=\">\">var q = '@Q';</SCRIPT>@Q</HTML>", "Q=%27;x",
     "Content-TYPE: text/html\n\n<HTML><SCRIPT DATA-X=\">\">var q = '\\x27\\x3Bx';</SCRIPT>';x</HTML>"},
    {"script: the author's doubled quote in a value is written as a character reference", nullptr,
     "<HTML><B O=\"\"\"ONCLICK=\">@Q</B><INPUT NAME=x VALUE=\"a\"\"b\"></HTML>", "Q=%27;x",
     "Content-TYPE: text/html\n\n<HTML><B O=\"&#34;ONCLICK=\">';x</B><INPUT VALUE=\"a&#34;b\" NAME=x></HTML>"},
    {"script: no value goes bare that a browser would read on as a quoted one", nullptr,
     "<HTML><P CLASS=@A>x @B</P><P CLASS='x>y' ONCLICK=@Q>@Q</P><P CLASS='ok'></HTML>",
     "A=%27&B=%27+onclick%3Dgo()+x%3D%27&Q=go()",
     "Content-TYPE: text/html\n\n<HTML><P CLASS=\"'\">x ' onclick=go() x='</P><P CLASS=\"'x\">y' ONCLICK=go()>go()</P>"
     "<P CLASS='ok'></P></HTML>"},
    {"script: data holding a backquote, with which a browser may begin a quoted value, is quoted", nullptr,
     "<HTML><P TITLE=@Q>x</P><P TITLE=@R>y</P></HTML>", "Q=%60x&R=a%60",
     "Content-TYPE: text/html\n\n<HTML><P TITLE=\"`x\">x</P><P TITLE=\"a`\">y</P></HTML>"},
    {"script: a quote inside <?x ...> or <!x ...> (a comment to its first >) opens no value", nullptr,
     "<HTML><?x a=\"><BUTTON ONCLICK=\"if (a > b) go('@Q')\">x</BUTTON></HTML>", "Q=%27);alert(1)//",
     "Content-TYPE: text/html\n\n<HTML><?X a=\"><BUTTON ONCLICK=\"if (a > b) go('\\x27\\x29\\x3Balert\\x281\\x29\\x2F\\x2F')\">"
     "x</BUTTON></HTML>"},
    {"script: a tag name longer than the scanner reads is no attribute name", nullptr,
     "<HTML><AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA = ON=\"> go('@Q')\">x</HTML>", "Q=%27);alert(1)//",
     "Content-TYPE: text/html\n\n<HTML><AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
     " = ON=\"> go('\\x27\\x29\\x3Balert\\x281\\x29\\x2F\\x2F')\">x</HTML>"},
    {"style: STYLE content and attribute", nullptr, "<HTML><STYLE>p{color:@Q}</STYLE><P STYLE=\"color:@Q\">x</HTML>",
     "Q=red;background:url(javascript:x)%3C/style%3E",
     "Content-TYPE: text/html\n\n<HTML><STYLE>p{color:red\\3B background\\3A url\\28 javascript\\3A x\\29 \\3C \\2F "
     "style\\3E }</STYLE><P STYLE=\"color:red\\3B background\\3A url\\28 javascript\\3A x\\29 \\3C \\2F style\\3E \">x</P></HTML>"},
    {"url: a visitor's script link is blocked, also split or behind blanks", nullptr,
     "<HTML><A HREF=@U>a</A><A HREF=\"@U#top\">b</A><IMG SRC=\"@E@V\"><FORM ACTION=@D></FORM></HTML>",
     "U=%20JaVaScript:alert(1)&E=java&V=script:x&D=data:text/html,x",
     "Content-TYPE: text/html\n\n<HTML><A HREF=#blocked>a</A><A HREF=\"#blocked#top\">b</A><IMG SRC=\"#blocked\">"
     "<FORM ACTION=#blocked></FORM></HTML>"},
    {"url: relative, http(s) and mailto links pass, the author's values stand", "J=\"javascript:go()\" S=\"'<b>'\"",
     "<HTML><A HREF=@J>a</A><A HREF=@R>b</A><A HREF=@H>c</A><A HREF=@M>d</A><A HREF=\"x@U\">e</A>"
     "<SCRIPT>@S</SCRIPT></HTML>",
     "R=page.htmx%3Fa=1:2&H=HTTPS://x.example/&M=mailto:a@b&U=data:text/html,x",
     "Content-TYPE: text/html\n\n<HTML><A HREF=javascript:go()>a</A><A HREF=page.htmx?a=1:2>b</A>"
     "<A HREF=HTTPS://x.example/>c</A><A HREF=mailto:a@b>d</A><A HREF=\"xdata:text/html,x\">e</A>"
     "<SCRIPT>'<b>'</SCRIPT></HTML>"},
    {"script: _RAW_REQUEST_VALUES_ writes request values as they came there too", "_RAW_REQUEST_VALUES_=TRUE",
     "<HTML><SCRIPT>@Q</SCRIPT><A HREF=@U>a</A></HTML>", "Q=%27&U=javascript:x",
     "Content-TYPE: text/html\n\n<HTML><SCRIPT>'</SCRIPT><A HREF=javascript:x>a</A></HTML>"},
};

TEST(PageTest, GoldenPages) {
    for (const auto& c : kPages) {
        E2eSite site;
        if (c.config)
            site.Write("quorvel.cfg", c.config);
        site.Write("t.htmx", c.page);
        GatewayRun r = site.Get("t.htmx", c.query);
        EXPECT_EQ(r.out, c.expected) << c.name;
    }
}

TEST(PageTest, EveryByteValueOfThePageIsSent) {
    E2eSite site;
    std::string page = "<HTML>";
    for (int b = 1; b < 256; ++b)
        if (b != '<' && b != '@')
            page.push_back(static_cast<char>(b));
    page += "</HTML>";
    site.Write("t.htmx", page);
    GatewayRun r = site.Get("t.htmx");
    EXPECT_EQ(r.out, std::string(kHeader) + page);
}

// The answer when no error page is named: a 500 with one sentence, never the detail.
std::string Failed(int code, const std::string& message) {
    return "Status: 500 Internal Server Error\nContent-TYPE: text/html\n\n<!DOCTYPE html>\n<html><head>"
           "<title>500 Internal Server Error</title></head>\n<body><p>This page could not be made: error " +
           std::to_string(code) + ", " + message + ".</p></body></html>\n";
}

struct ErrorCase {
    const char* name;
    const char* config;
    const char* page;
    const char* path;
    const char* query;
    std::string expected;  // standard output
    const char* stats;     // statistics line without time stamp
    const char* err;       // the line on standard error; %DIR% stands for the site
};

const ErrorCase kErrors[] = {
    {"leading text", "_ERR_URL_=err.htm", "x<HTML></HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: err.htm\n\n", "t.htmx Document must start with <HTML> tag",
     "quorvel: t.htmx:1:2: error 8: Document must start with <HTML> tag"},
    {"leading comment", "_ERR_URL_=err.htm", "<!-- c --><HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: err.htm\n\n", "t.htmx Document must start with <HTML> tag",
     "quorvel: t.htmx:1:10: error 8: Document must start with <HTML> tag"},
    {"two document types", "_ERR_URL_=err.htm", "<!DOCTYPE html><!DOCTYPE html><HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: err.htm\n\n", "t.htmx Document must start with <HTML> tag",
     "quorvel: t.htmx:1:30: error 8: Document must start with <HTML> tag"},
    {"empty template, no error page", nullptr, "", "t.htmx", "q=1",
     Failed(8, "Document must start with &#60;HTML&#62; tag"),
     "t.htmx?q=1 Document must start with <HTML> tag",
     "quorvel: t.htmx:1:1: error 8: Document must start with <HTML> tag [no quorvel.cfg in %DIR%]"},
    {"undefined variable", "_ERR_URL_=\"e.htm\"", "<HTML>@y</HTML>", "t.htmx", "x=1",
     "Content-TYPE: text/html\nLocation: e.htm\n\n", "t.htmx?x=1 Variable is not defined: y",
     "quorvel: t.htmx:1:7: error 9: Variable is not defined: y"},
    {"end tag syntax", "_ERR_URL_=e", "<HTML><B>x</B y></HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Syntax error in end tag",
     "quorvel: t.htmx:1:15: error 10: Syntax error in end tag"},
    {"new tag inside a tag", "_ERR_URL_=e", "<HTML><B a=1 <I>></HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Illegal syntax in attribute value pair",
     "quorvel: t.htmx:1:14: error 12: Illegal syntax in attribute value pair"},
    {"unterminated quote", "_ERR_URL_=e", "<HTML><B a=\"1>x", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Unexpected end-of-file",
     "quorvel: t.htmx:1:16: error 11: Unexpected end-of-file"},
    {"template missing", "_ERR_URL_=e", "<HTML>", "nope.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "nope.htmx Input file specified in URL not found: nope.htmx",
     "quorvel: error 37: Input file specified in URL not found: nope.htmx (nope.htmx: not found)"},
    {"parent segment refused", "_ERR_URL_=e", "<HTML>", "sub/../t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "sub/../t.htmx Input file specified in URL not found: sub/../t.htmx",
     "quorvel: error 37: Input file specified in URL not found: sub/../t.htmx"},
    {"encoded parent segment refused", "_ERR_URL_=e", "<HTML>", "%2e%2e/t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n",
     "%2e%2e/t.htmx Input file specified in URL not found: %2e%2e/t.htmx",
     "quorvel: error 37: Input file specified in URL not found: %2e%2e/t.htmx"},
    {"NUL byte refused", "_ERR_URL_=e", "<HTML>", "t.htmx%00x", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx%00x Input file specified in URL not found: t.htmx%00x",
     "quorvel: error 37: Input file specified in URL not found: t.htmx%00x"},
    {"bad escape in path", "_ERR_URL_=e", "<HTML>", "t%zz", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t%zz Illegal escape character in URL: %zz",
     "quorvel: error 36: Illegal escape character in URL: %zz"},
    {"sign in a path escape", "_ERR_URL_=e", "<HTML>", "t%-1", "", "Content-TYPE: text/html\nLocation: e\n\n",
     "t%-1 Illegal escape character in URL: %-1", "quorvel: error 36: Illegal escape character in URL: %-1"},
    {"blank in a query escape", "_ERR_URL_=e", "<HTML>", "t.htmx", "x=%+A", "Content-TYPE: text/html\nLocation: e\n\n",
     "t.htmx?x=%+A Illegal escape character in URL: %+A",
     "quorvel: t.htmx: error 36: Illegal escape character in URL: %+A"},
    {"bad query string", "_ERR_URL_=e", "<HTML>", "t.htmx", "a=1&",
     "Content-TYPE: text/html\nLocation: e\n\n",
     "t.htmx?a=1& Syntax error in query string specified in URL: a=1&",
     "quorvel: t.htmx: error 38: Syntax error in query string specified in URL: a=1&"},
    {"configuration syntax after the error page", "_ERR_URL_=e A=(1 2)", "<HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n",
     "t.htmx Syntax error in configuration file",
     "quorvel: quorvel.cfg:1:19: error 35: Syntax error in configuration file"},
    {"column width too large", "_ERR_URL_=e _MAX_COLUMN_WIDTH_=1025", "<HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Illegal value in _MAX_COLUMN_WIDTH_: 1025",
     "quorvel: error 39: Illegal value in _MAX_COLUMN_WIDTH_: 1025"},
    {"column width zero", "_ERR_URL_=e _MAX_COLUMN_WIDTH_=0", "<HTML>", "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Illegal value in _MAX_COLUMN_WIDTH_: 0",
     "quorvel: error 39: Illegal value in _MAX_COLUMN_WIDTH_: 0"},
    {"the request cannot choose the error page", "_ERR_URL_=e", "<HTML>@nope", "t.htmx",
     "_ERR_URL_=x%0D%0ASet-Cookie:+a=b",
     "Content-TYPE: text/html\nLocation: e\n\n",
     "t.htmx?_ERR_URL_=x%0D%0ASet-Cookie:+a=b Variable is not defined: nope",
     "quorvel: t.htmx:1:7: error 9: Variable is not defined: nope"},
    {"too deep nesting", "_ERR_URL_=e", nullptr, "t.htmx", "",
     "Content-TYPE: text/html\nLocation: e\n\n", "t.htmx Syntax error in HTML",
     "quorvel: t.htmx:1:3007: error 7: Syntax error in HTML"},
    {"template missing, no configuration", nullptr, "<HTML>", "nope.htmx", "",
     Failed(37, "Input file specified in URL not found"), "nope.htmx Input file specified in URL not found: nope.htmx",
     "quorvel: error 37: Input file specified in URL not found: nope.htmx (nope.htmx: not found) [no quorvel.cfg in %DIR%]"},
    {"configuration syntax, no error page", "A=1\nB=(1 2)", "<HTML>", "t.htmx", "",
     Failed(35, "Syntax error in configuration file"), "t.htmx Syntax error in configuration file",
     "quorvel: quorvel.cfg:2:7: error 35: Syntax error in configuration file"},
    {"undefined variable, no error page", "A=1", "<HTML>\n  <P>@y</P></HTML>", "t.htmx", "",
     Failed(9, "Variable is not defined"), "t.htmx Variable is not defined: y",
     "quorvel: t.htmx:2:6: error 9: Variable is not defined: y"},
};

TEST(PageTest, ErrorsRedirectAndAreCounted) {
    for (const auto& c : kErrors) {
        E2eSite site;
        if (c.config)
            site.Write("quorvel.cfg", c.config);
        if (c.page) {
            site.Write("t.htmx", c.page);
        } else {
            std::string deep = "<HTML>";
            for (int i = 0; i < 200000; ++i)
                deep += "<B>";
            site.Write("t.htmx", deep);
        }
        GatewayRun r = site.Get(c.path, c.query);
        EXPECT_EQ(r.out, c.expected) << c.name;
        EXPECT_EQ(site.StatsWithoutTimestamps(), std::string(c.stats) + "\n") << c.name;
        std::string err = c.err;
        if (err.find("%DIR%") != std::string::npos)
            err.replace(err.find("%DIR%"), 5, site.Dir());
        EXPECT_EQ(r.err, err + "\n") << c.name;
    }
}

// `quorvel --render` from the site folder: the page for a GET with these parameters (any
// value), failures on standard error with the 500 answer, and no statistics record. A file
// that is there but cannot be read is named as such.
TEST(PageTest, RenderedByHand) {
    E2eSite site;
    site.Write("quorvel.cfg", "X=1");
    site.Write("t.htmx", "<HTML>@a|@b</HTML>");
    site.Write("dir.htmx/x", "");
    const std::map<std::string, std::string> env = PassThroughEnvironment();
    GatewayRun r = RunCommand({"--render", "t.htmx", "a=x&y=1 %41+", "b=\xC3\xA9<"}, env, site.Dir());
    EXPECT_EQ(r.out, std::string(kHeader) + "<HTML>x&#38;y=1 %41+|\xC3\xA9&#60;</HTML>");
    EXPECT_EQ(r.exitCode, 0);
    const struct {
        std::vector<std::string> args;
        std::string out, err;
    } failures[] = {
        {{"--render", "t.htmx"}, Failed(9, "Variable is not defined"),
         "quorvel: t.htmx:1:7: error 9: Variable is not defined: a\n"},
        {{"--render", "dir.htmx"}, Failed(37, "Input file specified in URL not found"),
         "quorvel: error 37: Input file specified in URL not found: dir.htmx (dir.htmx: not a regular file)\n"},
    };
    for (const auto& f : failures) {
        r = RunCommand(f.args, env, site.Dir());
        EXPECT_EQ(r.out, f.out) << f.args[1];
        EXPECT_EQ(r.err, f.err) << f.args[1];
        EXPECT_EQ(r.exitCode, 1) << f.args[1];
    }
    if (::geteuid() != 0) {  // the super-user reads any file
        ::chmod(site.Path("t.htmx").c_str(), 0200);
        EXPECT_NE(RunCommand({"--render", "t.htmx"}, env, site.Dir()).err.find("(t.htmx: permission denied)"),
                  std::string::npos);
        ::chmod(site.Path("quorvel.cfg").c_str(), 0200);
        EXPECT_NE(RunCommand({"--render", "t.htmx"}, env, site.Dir()).err.find("quorvel.cfg: error 35: Syntax "
                                                                               "error in configuration file: "
                                                                               "quorvel.cfg (permission denied)"),
                  std::string::npos);
    }
    EXPECT_FALSE(site.Exists("qvstat.log"));
}

TEST(PageTest, TemplateFoundUnderHtmxPath) {
    E2eSite site;
    site.Write("quorvel.cfg", "_HTMX_PATH_=pages");
    site.Write("pages/a b.htmx", "<HTML>ok</HTML>");
    EXPECT_EQ(site.Get("/a%20b.htmx").out, std::string(kHeader) + "<HTML>ok</HTML>");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "/a%20b.htmx\n");
}

TEST(PageTest, RequestPathStaysInsideTheSite) {
    // The request body is a page that would run a program; no path reaches it, nor any
    // file outside the working directory and the template folder.
    E2eSite site, other;
    site.Write("quorvel.cfg", "_ERR_URL_=e _HTMX_PATH_=" + other.Path("pages") + " _LOG_FILE_=" + other.Path("pages/d.log"));
    site.Write("ran.sh", "#!/bin/sh\ntouch ran\nprintf ran\\377\n", 0755);
    site.Write("t.htmx", "<HTML>here</HTML>");
    site.Write("dir/x", "");
    other.Write("pages/p.htmx", "<HTML>folder</HTML>");
    other.Write("pages2/p.htmx", "<HTML>sibling</HTML>");
    other.Write("t.htmx", "<HTML>elsewhere</HTML>");
    ASSERT_EQ(::symlink("/proc/self/fd/0", site.Path("in.htmx").c_str()), 0);
    ASSERT_EQ(::symlink("/proc/self/cwd", site.Path("here").c_str()), 0);
    const std::string shm = "/dev/shm/qvpage" + std::to_string(::getpid());  // a regular file under /dev
    std::ofstream(shm) << "<HTML>shm</HTML>";
    ASSERT_EQ(::symlink(shm.c_str(), site.Path("shm.htmx").c_str()), 0);
    const std::string refused = "Content-TYPE: text/html\nLocation: e\n\n";
    const std::pair<std::string, std::string> cases[] = {
        {"dir", refused}, {"/dev/zero", refused}, {"/dev/stdin", refused},
        {"/proc/self/fd/0", refused}, {".stdin", refused}, {site.Path(".stdin"), refused},
        {"in.htmx", refused}, {"shm.htmx", refused}, {"./shm.htmx", refused}, {"here/t.htmx", refused}, {"/etc/passwd", refused}, {other.Path("t.htmx"), refused},
        {other.Path("pages2/p.htmx"), refused},
        {site.Path("t.htmx"), std::string(kHeader) + "<HTML>here</HTML>"},
        {other.Path("pages/p.htmx"), std::string(kHeader) + "<HTML>folder</HTML>"},
        {"/p.htmx", std::string(kHeader) + "<HTML>folder</HTML>"},
        // The gateway's own files, whatever name reaches them: a log may hold a visitor's tag.
        {"quorvel.log", refused}, {"/d.log", refused}, {"log.htmx", refused}, {"qvstat.log", refused},
        {"quorvel.cfg", refused},
    };
    const std::string body = "<HTML><FUNCTION PATH=./ran.sh COMMAND=ran>]</HTML>";
    site.Write("quorvel.log", body);
    site.Write("qvstat.log", body);
    other.Write("pages/d.log", body);
    ASSERT_EQ(::symlink("quorvel.log", site.Path("log.htmx").c_str()), 0);
    for (const auto& c : cases) {
        GatewayRun r = site.Run({{"PATH_INFO", c.first}, {"REQUEST_METHOD", "POST"}, {"CONTENT_TYPE", "text/plain"},
                                 {"CONTENT_LENGTH", std::to_string(body.size())}}, body);
        EXPECT_EQ(r.out, c.second) << c.first;
        EXPECT_FALSE(site.Exists("ran")) << c.first;
    }
    ::unlink(shm.c_str());
    for (const char* path : {"/dev/stdin", "quorvel.log", "/d.log", "log.htmx", "qvstat.log", "quorvel.cfg"})
        EXPECT_NE(site.StatsWithoutTimestamps().find(std::string("Input file specified in URL not found: ") + path),
                  std::string::npos) << path;
}

TEST(PageTest, DebugLogHoldsPageErrorLineAndListing) {
    E2eSite site;
    site.Write("quorvel.cfg", "_DEBUG_=True _LOG_FILE_=logs/d.log");
    site.Write("logs/.keep", "");
    site.Write("t.htmx", "<HTML>before @missing after</HTML>");
    GatewayRun r = site.Get("t.htmx", "");
    EXPECT_EQ(r.out, Failed(9, "Variable is not defined"));
    std::string log = site.Read("logs/d.log");
    EXPECT_EQ(log.substr(0, log.find("\n\n")),
              "<HTML>before <!-- Variable is not defined: missing -->");
    EXPECT_NE(log.find("\n\n<!-- Symbol Table Listing \n"), std::string::npos);
    EXPECT_NE(log.find("\n_LOG_FILE_ = logs/d.log\n"), std::string::npos);
    EXPECT_NE(log.find("\n_QUORVEL_VERSION_ = 2.0.2\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 4), "-->\n");
}

TEST(PageTest, DebugCommentsShowAVisitorsWordsAsText) {
    // In the listing (names and values) and in an error's detail: no tag, no end of comment.
    const std::pair<const char*, const char*> cases[] = {
        {"x--%3E%3Cscript%3E=--%3E%3CFUNCTION+COMMAND%3D%22id%22%3E",
         "\nx- -&#62;&#60;script&#62; = - -&#62;&#60;FUNCTION COMMAND=&#34;id&#34;&#62;\n"},
        {"a=1&<b>--", "<!-- Syntax error in query string specified in URL: a=1&#38;&#60;b&#62;- - -->"},
    };
    for (const auto& [query, shown] : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_DEBUG_=TRUE");
        site.Write("t.htmx", "<HTML>x</HTML>");
        site.Get("t.htmx", query);
        std::string log = site.Read("quorvel.log");
        EXPECT_NE(log.find(shown), std::string::npos) << log;
        for (const char* delimiter : {"<!--", "-->"})
            for (size_t at; (at = log.find(delimiter)) != std::string::npos;)
                log.erase(at, std::strlen(delimiter));
        EXPECT_EQ(log.find("--"), std::string::npos) << log;
    }
}

TEST(PageTest, DebugListingEndsThePage) {
    E2eSite site;
    site.Write("quorvel.cfg", "_DEBUG_=TRUE _CONNECT_=shop:web/s3cret:x");
    site.Write("t.htmx", "<HTML>x</HTML>");
    GatewayRun r = site.Get("t.htmx", "_DEBUG_=false&v=1");
    // A query-string _DEBUG_ cannot switch debugging off (it is read before the query).
    ASSERT_EQ(r.out.rfind(std::string(kHeader) + "<HTML>x</HTML>\n\n<!-- Symbol Table Listing \n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("\nv = 1\n"), std::string::npos);
    // The listing hides the password.
    EXPECT_NE(r.out.find("\n_CONNECT_ = shop:web/***\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    EXPECT_EQ(r.out.substr(sizeof(kHeader) - 1), site.Read("quorvel.log"));
    // Request values written as they came: the page says so, once, before anything else.
    site.Write("quorvel.cfg", "_DEBUG_=TRUE _RAW_REQUEST_VALUES_=true");
    r = site.Get("t.htmx", "");
    EXPECT_EQ(r.out.rfind(std::string(kHeader) + "<!-- _RAW_REQUEST_VALUES_: request values are written "
                                                 "unescaped into pages and SQL texts -->\n<HTML>x</HTML>\n\n", 0),
              0u)
        << r.out;
}

TEST(PageTest, ConfigurationErrorLeavesNoDebugLine) {
    E2eSite site;
    site.Write("quorvel.cfg", "_DEBUG_=TRUE _ERR_URL_=e X=\"open");
    site.Write("t.htmx", "<HTML>x</HTML>");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: e\n\n");
    EXPECT_FALSE(site.Exists("quorvel.log"));
}

struct IncludeCase {
    const char* name;
    const char* page;
    const char* expected;
};

TEST(PageTest, Includes) {
    const IncludeCase cases[] = {
        {"spliced in place", "<HTML>a<INCLUDE FILE=inc/part.htm>b</HTML>",
         "Content-TYPE: text/html\n\n<HTML>a<B>part</B>b</HTML>"},
        {"found under _INCLUDE_PATH_", "<HTML><INCLUDE FILE=deep.htm></HTML>",
         "Content-TYPE: text/html\n\n<HTML>deep</HTML>"},
        {"through a folder link inside the site", "<HTML><INCLUDE FILE=lnk/part.htm></HTML>",
         "Content-TYPE: text/html\n\n<HTML><B>part</B></HTML>"},
        {"file name is not evaluated", "<HTML><INCLUDE FILE=@X></HTML>",
         "Content-TYPE: text/html\n\n<HTML>literal X</HTML>"},
        {"missing file", "<HTML><INCLUDE FILE=none.htm></HTML>",
         "Content-TYPE: text/html\nLocation: e\n\n"},
        {"unmatched end tag inside", "<HTML><INCLUDE FILE=bad.htm></HTML>",
         "Content-TYPE: text/html\nLocation: e\n\n"},
        {"end tag inside that closes nothing anywhere", "<HTML><INCLUDE FILE=stray.htm></HTML>",
         "Content-TYPE: text/html\nLocation: e\n\n"},
        {"includes itself", "<HTML><INCLUDE FILE=self.htm></HTML>",
         "Content-TYPE: text/html\nLocation: e\n\n"},
        // Standard input (here a file of the site) and /proc are never included.
        {"standard input", "<HTML><INCLUDE FILE=.stdin></HTML>", "Content-TYPE: text/html\nLocation: e\n\n"},
        {"a link into /proc", "<HTML><INCLUDE FILE=fd0.htm></HTML>", "Content-TYPE: text/html\nLocation: e\n\n"},
        // Nor the gateway's own files.
        {"the debug log", "<HTML><INCLUDE FILE=quorvel.log></HTML>", "Content-TYPE: text/html\nLocation: e\n\n"},
        {"the configuration", "<HTML><INCLUDE FILE=quorvel.cfg></HTML>", "Content-TYPE: text/html\nLocation: e\n\n"},
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_ERR_URL_=e _INCLUDE_PATH_=lib");
        site.Write("inc/part.htm", "<B>part");
        site.Write("lib/deep.htm", "deep");
        site.Write("X", "literal X");
        site.Write("bad.htm", "x</HTML>");
        site.Write("stray.htm", "x</B>y");
        site.Write("self.htm", "<INCLUDE FILE=self.htm>");
        site.Write("quorvel.log", "planted");
        site.Write("t.htmx", c.page);
        ASSERT_EQ(::symlink("/proc/self/fd/0", site.Path("fd0.htm").c_str()), 0);
        ASSERT_EQ(::symlink("inc", site.Path("lnk").c_str()), 0);
        EXPECT_EQ(site.Get("t.htmx").out, c.expected) << c.name;
    }
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=e _INCLUDE_PATH_=lib");
    site.Write("self.htm", "<INCLUDE FILE=self.htm>");
    site.Write("bad.htm", "x</HTML>");
    site.Write("t.htmx", "<HTML><INCLUDE FILE=self.htm>");
    site.Get("t.htmx");
    site.Write("t.htmx", "<HTML><INCLUDE FILE=bad.htm>");
    site.Get("t.htmx");
    site.Write("t.htmx", "<HTML><INCLUDE FILE=none.htm>");
    site.Get("t.htmx");
    EXPECT_EQ(site.StatsWithoutTimestamps(),
              "t.htmx Include file is missing: self.htm\n"
              "t.htmx Unmatched tags in include file: bad.htm\n"
              "t.htmx Include file is missing: none.htm\n");
}

}  // namespace
