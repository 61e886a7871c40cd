// quorvel --check, run as a site builder runs it: the real binary in a site directory,
// with the file names on its command line.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/E2eHarness.h"

namespace {

struct CheckRun {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs `quorvel ARGS...` in `dir` with a clean environment plus `env`.
CheckRun RunQuorvelIn(const std::string& dir, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> envStrings;
    for (const char* pass : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(pass))
            envStrings.push_back(std::string(pass) + "=" + v);
    for (const auto& kv : env)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{QUORVEL_BINARY};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);

    // The output goes through files outside `dir`, so that the directory stays as it is.
    E2eSite scratch;
    std::string outPath = scratch.Path("out"), errPath = scratch.Path("err");
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execve(QUORVEL_BINARY, argv.data(), envp.data());
        ::_exit(127);
    }
    CheckRun run;
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = scratch.Read("out");
    run.err = scratch.Read("err");
    return run;
}

CheckRun RunQuorvel(const E2eSite& site, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}) {
    return RunQuorvelIn(site.Dir(), args, env);
}

struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    std::vector<std::string> check;  // the files named on the command line
    std::string expected;
    int status;
};

// The end of the summary line that a report of these lines gives.
std::string CountsOf(const std::string& report) {
    size_t errors = 0, warnings = 0;
    for (size_t at = 0; (at = report.find(": error: ", at)) != std::string::npos; ++at)
        ++errors;
    for (size_t at = 0; (at = report.find(": warning: ", at)) != std::string::npos; ++at)
        ++warnings;
    return " " + std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
           std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
}

void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        E2eSite site;
        for (const auto& f : c.files)
            site.Write(f.first, f.second);
        std::vector<std::string> args{"--check"};
        args.insert(args.end(), c.check.begin(), c.check.end());
        CheckRun run = RunQuorvel(site, args);
        EXPECT_EQ(run.out, c.expected) << c.name;
        EXPECT_EQ(run.status, c.status) << c.name;
        EXPECT_EQ(run.err.substr(run.err.find(':') + 1), CountsOf(c.expected)) << c.name;
    }
}

TEST(CheckTest, ReadingErrors) {
    RunCases({
        {"first token not HTML", {{"t.htmx", "\n  <BODY>x</BODY>"}}, {"t.htmx"},
         "t.htmx:2:3: error: Document must start with <HTML> tag: the file starts with <BODY>\n", 1},
        {"text after the document type", {{"t.htmx", "<!DOCTYPE html>\nhello <HTML></HTML>"}}, {"t.htmx"},
         "t.htmx:2:1: error: Document must start with <HTML> tag: the file starts with text\n", 1},
        {"text first", {{"t.htmx", "hello <HTML></HTML>"}}, {"t.htmx"},
         "t.htmx:1:1: error: Document must start with <HTML> tag: the file starts with text\n", 1},
        {"an @ expression first", {{"t.htmx", "@A <HTML></HTML>"}}, {"t.htmx"},
         "t.htmx:1:1: error: Document must start with <HTML> tag: the file starts with an @ expression\n", 1},
        {"a bad list in an @ expression first", {{"t.htmx", "@X(a b)<HTML>"}}, {"t.htmx"},
         "t.htmx:1:6: error: Syntax error in list: in the @ expression\n", 1},
        {"an unknown tag first", {{"t.htmx", "\n <foo bar=1><HTML></HTML>"}}, {"t.htmx"},
         "t.htmx:2:2: error: Document must start with <HTML> tag: the file starts with <FOO>\n", 1},
        {"the tag LOOKUP after the document type", {{"t.htmx", "<!doctype html>\n<LOOKUP x>"}}, {"t.htmx"},
         "t.htmx:2:1: error: Document must start with <HTML> tag: the file starts with <LOOKUP>\n", 1},
        {"empty file", {{"t.htmx", " \n"}}, {"t.htmx"},
         "t.htmx:2:1: error: Document must start with <HTML> tag: the file holds nothing else "
         "than white space\n",
         1},
        {"quote where a name belongs", {{"t.htmx", "<HTML>\n<BODY>\n  <A \"x\">"}}, {"t.htmx"},
         "t.htmx:3:6: error: Illegal syntax in attribute value pair: in <A>\n", 1},
        {"new tag inside a tag", {{"t.htmx", "<HTML><IMG SRC=a.gif <B>"}}, {"t.htmx"},
         "t.htmx:1:22: error: Illegal syntax in attribute value pair: in <IMG>\n", 1},
        {"unterminated quoted string", {{"t.htmx", "<HTML>\n<A HREF=\"x>\nmore"}}, {"t.htmx"},
         "t.htmx:2:9: error: Unexpected end-of-file: in <A>: the quoted value that opens here is "
         "never closed\n", 1},
        {"quote missing in a TEXT that the next quote closes",
         {{"t.htmx", "<HTML>\n<SQL NAME=q TEXT=\"SELECT a FROM t>\n<DBRESULT QUERY=q>\n<TD>@a</TD>\n"
                     "<INPUT NAME=b VALUE=\"x\">\n</HTML>"}},
         {"t.htmx"},
         "t.htmx:2:18: error: Illegal syntax in attribute value pair: in <SQL>: the quoted value "
         "that opens here runs to line 5, where reading fails (a closing quote missing?)\n", 1},
        {"bad list", {{"t.htmx", "<HTML><A HREF=(a b)>x</A></HTML>"}}, {"t.htmx"},
         "t.htmx:1:18: error: Syntax error in list: in <A>\n", 1},
        {"bad list in text", {{"t.htmx", "<HTML>\nsum: @FIXED_WIDTH(a b)"}}, {"t.htmx"},
         "t.htmx:2:21: error: Syntax error in list: in the @ expression\n", 1},
        {"end tag not closed", {{"t.htmx", "<HTML><B>x</B x></HTML>"}}, {"t.htmx"},
         "t.htmx:1:15: error: Syntax error in end tag: </B> must be closed by >\n", 1},
        {"missing include", {{"t.htmx", "<HTML>\n <INCLUDE FILE=nav.htmx>\n</HTML>"}}, {"t.htmx"},
         "t.htmx:2:2: error: Include file is missing: nav.htmx\n", 1},
        {"include without file", {{"t.htmx", "<HTML><INCLUDE NAME=x></HTML>"}}, {"t.htmx"},
         "t.htmx:1:7: error: Include file is missing: <INCLUDE> has no FILE\n", 1},
        {"file including itself", {{"t.htmx", "<HTML><INCLUDE FILE=p.htmx></HTML>"}, {"p.htmx", "<B><INCLUDE FILE=p.htmx></B>"}},
         {"t.htmx"},
         "p.htmx:1:4: error: Include file is missing: p.htmx (inclusions nested deeper than 16: "
         "does a file include itself?)\n",
         1},
        {"unmatched end tag in an include",
         {{"t.htmx", "<HTML><BODY><INCLUDE FILE=foot.htmx></BODY></HTML>"},
          {"foot.htmx", "<ADDRESS>me</ADDRESS>\n</BODY>\n"}},
         {"t.htmx"},
         "foot.htmx:2:1: error: Unmatched tags in include file: foot.htmx: </BODY> closes no "
         "element opened in this file\n",
         1},
        {"fault in a file found under _INCLUDE_PATH_",
         {{"quorvel.cfg", "_INCLUDE_PATH_ = parts\n"},
          {"t.htmx", "<HTML><BODY>\n<INCLUDE FILE=head.htmx>\n</BODY></HTML>"},
          {"parts/head.htmx", "<H1>\n<IMG SRC=@X(>\n</H1>"}},
         {"t.htmx"},
         "parts/head.htmx:3:1: error: Syntax error in list: in <IMG>\n", 1},
        {"configuration file", {{"quorvel.cfg", "[site]\nA = 1\nB = (x y)\n"}, {"t.htmx", "<HTML></HTML>"}},
         {"t.htmx"},
         "quorvel.cfg:3:8: error: Syntax error in configuration file: Syntax error in list\n", 1},
        {"the part read before a reading error is checked, the broken tag is not",
         {{"t.htmx", "<HTML><SQL NAME=q>\n<FORM SQLACTION=a><SQL TEXT=\"x\" \"y\">"}}, {"t.htmx"},
         "t.htmx:1:7: error: Text attribute missing from tag: <SQL> has no TEXT\n"
         "t.htmx:2:33: error: Illegal syntax in attribute value pair: in <SQL>\n",
         1},
        {"configuration entries without a value, and text after a >",
         {{"quorvel.cfg", "[site]\n# the error page\n_ERR_URL_ = /e.html  TRACE\nA = 1 > B = 2\n"},
          {"t.htmx", "<HTML>@A @B</HTML>"}},
         {"t.htmx"},
         "quorvel.cfg:2:1: warning: \"#\" is an entry without a value (the file has no comments: "
         "every word outside a value is an entry)\n"
         "quorvel.cfg:3:22: warning: \"TRACE\" is an entry without a value (the file has no "
         "comments: every word outside a value is an entry)\n"
         "quorvel.cfg:4:7: warning: a > ends the configuration file, so the rest is never read: "
         "\"B = 2\"\n"
         "t.htmx:1:10: warning: Variable is not defined: B (no configuration entry, built-in "
         "variable, result column or form field has this name)\n",
         0},
        {"CR LF line ends", {{"t.htmx", "<HTML>\r\n<BODY>\r\n<A \"x\">\r\n"}}, {"t.htmx"},
         "t.htmx:3:4: error: Illegal syntax in attribute value pair: in <A>\n", 1},
    });
}

TEST(CheckTest, DefinitionsThatFailWhenWritten) {
    RunCases({
        {"SQL without TEXT", {{"t.htmx", "<HTML>\n<SQL NAME=q>\n</HTML>"}}, {"t.htmx"},
         "t.htmx:2:1: error: Text attribute missing from tag: <SQL> has no TEXT\n", 1},
        {"query without NAME", {{"t.htmx", "<HTML><SQL TEXT=\"select a from t\"></HTML>"}}, {"t.htmx"},
         "t.htmx:1:7: error: Name attribute missing from tag: <SQL> has no NAME\n", 1},
        {"no NAME needed where nothing is defined",
         {{"t.htmx", "<HTML><SQL TEXT=\" SELECT a FROM t\"><SQL TEXT=\"COMMIT\"></HTML>"}}, {"t.htmx"},
         "", 0},
        {"attributes written without a value",
         {{"t.htmx", "<HTML><SQL TEXT><SQL NAME TEXT=\"SELECT a FROM t\"><DBRESULT QUERY>@a</DBRESULT></HTML>"}},
         {"t.htmx"}, "", 0},
        {"SQL texts the analysis rejects",
         {{"t.htmx", "<HTML>\n"
                     "<SQL NAME=a TEXT=\"SELECT a FROM t; SELECT b FROM u\">\n"
                     "<SQL NAME=b TEXT=\"select a\n  from t;\">\n"
                     "<SQL NAME=c TEXT=\"UPDATE t SET f = NOT f\">\n"
                     "<SQL NAME=d TEXT=\"DELETE FROM a WHERE k = ?; DELETE FROM b WHERE k = ?\">\n"
                     "<SQL NAME=e TEXT=\"SELECT a FROM t WHERE (a = 1 OR b = 2\">\n"
                     "<SQL NAME=f TEXT=\"SELECT a FROM t WHERE a = @A)\">\n"
                     "<SQL NAME=g TEXT=\"SELECT a FROM t WHERE a IN (@A) AND b = '@A'\">\n"
                     "<SQL NAME=h TEXT=\"COMMIT; COMMIT\">\n"
                     "<FORM><INPUT NAME=A></FORM></HTML>"}, {"quorvel.cfg", "A = 1\n"}},
         {"t.htmx"},
         "t.htmx:2:13: error: Only one select statement is allowed in each query: SELECT a FROM t; SELECT b FROM u\n"
         "t.htmx:3:13: error: Only one select statement is allowed in each query: select a from t;\n"
         "t.htmx:5:13: error: Syntax or semantic error in SQL statement: UPDATE t SET f = NOT f\n"
         "t.htmx:7:13: error: Syntax or semantic error in SQL statement: SELECT a FROM t WHERE (a = 1 OR b = 2\n"
         "t.htmx:8:13: warning: Syntax or semantic error in SQL statement: SELECT a FROM t WHERE a = @A) "
         "(each @reference taken as one value)\n",
         1},
        {"DBRESULT without QUERY", {{"t.htmx", "<HTML>\n<DBRESULT MAXROWS=5>x</DBRESULT></HTML>"}}, {"t.htmx"},
         "t.htmx:2:1: error: Query attribute missing from tag: <DBRESULT> has no QUERY\n", 1},
        {"MAXROWS", {{"t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT a FROM t\">\n"
                                "<DBRESULT QUERY=q MAXROWS=0></DBRESULT>\n"
                                "<DBRESULT QUERY=q maxrows=\"10 \"></DBRESULT>\n"
                                "<DBRESULT QUERY=q MAXROWS=101></DBRESULT>\n"
                                "<DBRESULT QUERY=q MAXROWS></DBRESULT>\n"
                                "<DBRESULT QUERY=q MAXROWS=\" 7\"></DBRESULT>\n"
                                "<DBRESULT QUERY=q MAXROWS=+7></DBRESULT>\n"
                                "<DBRESULT QUERY=q MAXROWS=100></DBRESULT></HTML>"}},
         {"t.htmx"},
         "t.htmx:2:19: error: Illegal value in MAXROWS attribute: \"0\" (a whole number from 1 to 100 is needed)\n"
         "t.htmx:3:19: error: Illegal value in MAXROWS attribute: \"10 \" (a whole number from 1 to 100 is needed)\n"
         "t.htmx:4:19: error: Illegal value in MAXROWS attribute: \"101\" (a whole number from 1 to 100 is needed)\n"
         "t.htmx:5:19: error: Illegal value in MAXROWS attribute: \"\" (a whole number from 1 to 100 is needed)\n",
         1},
        {"FUNCTION without COMMAND",
         {{"t.htmx", "<HTML><B><FUNCTION PATH=/bin/date></B>\n<B><FUNCTION DEFAULT=none></B></HTML>"}},
         {"t.htmx"},
         "t.htmx:1:10: error: No command specified in FUNCTION tag: <FUNCTION> has no COMMAND\n"
         "t.htmx:2:4: warning: No command specified in FUNCTION tag: <FUNCTION> has no COMMAND, so "
         "its DEFAULT is always written\n",
         1},
        {"constraints", {{"t.htmx", "<HTML><FORM>\n"
                                    "<INPUT NAME=A MANDATORY=TRUE>\n"
                                    "<INPUT NAME=B DATATYPE=(NUMBER)>\n"
                                    "<INPUT NAME=C TYPE=hidden LOW_VALUE>\n"
                                    "<INPUT NAME=D DATATYPE=(NUMBR,bad.htm)>\n"
                                    "<INPUT NAME=E MANDATORY=(TRUE,m.htm) HIGH_VALUE=(10,h.htm)>\n"
                                    "<INPUT NAME=F LOW_VALUE=(abc,l.htm)><INPUT TYPE=radio NAME=G HIGH_VALUE=(x,h.htm)>\n"
                                    "</FORM></HTML>"}},
         {"t.htmx"},
         "t.htmx:2:15: error: Syntax error in specifying input value constraints: MANDATORY is not a list of two items (setting, URL)\n"
         "t.htmx:3:15: error: Syntax error in specifying input value constraints: DATATYPE is not a list of two items (setting, URL)\n"
         "t.htmx:4:27: error: Syntax error in specifying input value constraints: LOW_VALUE is not a list of two items (setting, URL)\n"
         "t.htmx:5:15: warning: DATATYPE \"NUMBR\" is none of NUMBER, DATE and CHAR, so the value is not checked\n"
         "t.htmx:7:15: error: Syntax error in specifying input value constraints: LOW_VALUE bound \"abc\" is not a number\n",
         1},
        {"text field without a name on a page with a post-processed form",
         {{"t.htmx", "<HTML><FORM SQLACTION=s><SQL NAME=s TEXT=\"DELETE FROM t\">\n"
                     "<INPUT TYPE=TEXT><INPUT TYPE=SUBMIT><INPUT NAME></FORM></HTML>"}},
         {"t.htmx"},
         "t.htmx:2:1: warning: Name attribute missing from tag: a text <INPUT> without NAME fails "
         "every submission of the forms of this page\n"
         "t.htmx:2:37: warning: Name attribute missing from tag: a text <INPUT> without NAME fails "
         "every submission of the forms of this page\n",
         0},
        {"unknown tags near the gateway's own, and end tags of tags without one",
         {{"t.htmx", "<HTML><BODY>\n<DBRESLUT QUERY=all>x</DBRESLT>\n<FONT>a</FONT><SUP>1</SUP><S>s</S>\n"
                     "</FUNCTION></SQL><INPT NAME=x></TEXTAREAS><FORMS></BODY></HTML>"}},
         {"t.htmx"},
         "t.htmx:2:1: error: unknown tag <DBRESLUT> is written to the page as text: is <DBRESULT> meant?\n"
         "t.htmx:2:22: error: unknown tag </DBRESLT> is written to the page as text: is </DBRESULT> meant?\n"
         "t.htmx:4:1: error: </FUNCTION> closes nothing: <FUNCTION> has no end tag, and this one is "
         "written to the page as text\n"
         "t.htmx:4:12: error: </SQL> closes nothing: <SQL> has no end tag, and this one is written to "
         "the page as text\n"
         "t.htmx:4:18: error: unknown tag <INPT> is written to the page as text: is <INPUT> meant?\n"
         "t.htmx:4:31: error: unknown tag </TEXTAREAS> is written to the page as text: is </TEXTAREA> meant?\n"
         "t.htmx:4:43: error: unknown tag <FORMS> is written to the page as text: is <FORM> meant?\n",
         1},
        {"validation clause",
         {{"t.htmx", "<HTML><FORM SQLACTION=s VALIDATION=(check,\"check @A\",OK)>\n"
                     "<SQL NAME=s TEXT=\"DELETE FROM t\"><INPUT NAME=A></FORM></HTML>"}},
         {"t.htmx"},
         "t.htmx:1:25: error: Syntax error in validation clause: VALIDATION is not a list of four "
         "items (program, command line, expected output, URL)\n",
         1},
    });
}

TEST(CheckTest, Warnings) {
    RunCases({
        {"end tag that closes nothing",
         {{"t.htmx", "<HTML><BODY>\n<P>see <A HREF=x>this</A> now</P>more\n</BODY></HTML>\n"}},
         {"t.htmx"},
         "t.htmx:2:30: error: end tag </P> closes no open element, so it is written to the page as "
         "text (a <P> ends at the first known tag other than IMG, COMMENT, I, EM, B, STRONG and DFN)\n",
         1},
        {"text after the end of the document", {{"t.htmx", "<HTML>x</HTML>\n\n <P>lost\n"}}, {"t.htmx"},
         "t.htmx:3:2: warning: the text after </HTML> is never read: \"<P>lost\"\n", 0},
        {"query defined later, or as an action",
         {{"t.htmx", "<HTML>\n<DBRESULT QUERY=q>x</DBRESULT>\n<SQL NAME=q TEXT=\"SELECT a FROM t\">\n"
                     "<SQL NAME=u TEXT=\"UPDATE t SET a = 1\"><DBRESULT QUERY=u></DBRESULT></HTML>"}},
         {"t.htmx"},
         "t.htmx:2:11: warning: Query is not defined: q (no SQL element of this NAME with a SELECT "
         "text comes before this DBRESULT)\n"
         "t.htmx:4:49: warning: Query is not defined: u (no SQL element of this NAME with a SELECT "
         "text comes before this DBRESULT)\n",
         0},
        {"form actions",
         {{"t.htmx", "<HTML>\n"
                     "<FORM SQLACTION=a><SQL NAME=a TEXT=\"INSERT INTO t VALUES (1)\"></FORM>\n"
                     "<FORM SQLACTION=b></FORM><SQL NAME=b TEXT=\"DELETE FROM t\">\n"
                     "<SQL NAME=c TEXT=\"SELECT a FROM t\"><FORM ACTION=x SQLACTION=c></FORM>\n"
                     "</HTML>"}},
         {"t.htmx"},
         "t.htmx:3:7: warning: SQLAction is not defined: b (no SQL element of this NAME with an "
         "INSERT, UPDATE or DELETE text comes before the end of this FORM)\n"
         "t.htmx:4:51: warning: SQLAction is not defined: c (no SQL element of this NAME with an "
         "INSERT, UPDATE or DELETE text comes before the end of this FORM)\n",
         0},
        {"functions",
         {{"quorvel.cfg", "W = 0\n"},
          {"t.htmx", "<HTML>\n[@FIXED_WIDTH(x,0)] [@FIXED_WIDTH(x,@W)] [@fixed_width(x, \" 5\")]\n"
                     "<IMG ALT=@FIXED_WIDTH(x,\"-2\")> @FIXED_WIDTH(x) @SHOUT(x,1)</HTML>"}},
         {"t.htmx"},
         "t.htmx:2:2: warning: Illegal parameter to function: FIXED_WIDTH width \"0\" is not a "
         "number from 1 to 1048576\n"
         "t.htmx:3:10: warning: Illegal parameter to function: FIXED_WIDTH width \"-2\" is not a "
         "number from 1 to 1048576\n"
         "t.htmx:3:32: warning: No such function: FIXED_WIDTH with 1 arguments (the one function "
         "is FIXED_WIDTH, with two)\n"
         "t.htmx:3:48: warning: No such function: SHOUT with 2 arguments (the one function is "
         "FIXED_WIDTH, with two)\n",
         0},
        {"content swallowed by FUNCTION",
         {{"t.htmx", "<HTML><BODY><B><FUNCTION COMMAND=date>\n</B>\n<TABLE><TR><TD><FUNCTION COMMAND=date>"
                     "</TD>\n<TD>@x</TD></TR></TABLE></BODY></HTML>"}},
         {"t.htmx"},
         "t.htmx:3:39: warning: the text and tags after <FUNCTION> up to the end of its enclosing "
         "element belong to it and are never written: \"</TD> <TD>@x</TD></TR></TABLE>\" (</TD> "
         "does not end a FUNCTION: only the end tag of an enclosing element that the gateway knows "
         "does)\n",
         0},
    });
}

TEST(CheckTest, References) {
    RunCases({
        {"configuration, built-ins, columns, fields and link parameters",
         {{"quorvel.cfg", "TITLE = \"Shop\"\n"},
          {"t.htmx", "<HTML><TITLE>@TITLE @_SERVER_NAME_ @TITEL</TITLE>\n"
                     "<SQL NAME=q TEXT=\"SELECT id, p.name AS title, price*qty total FROM p WHERE k = @KEY\">\n"
                     "<DBRESULT QUERY=q><A HREF=\"item.htmx?item=@ID\">@Title @total @qty</A>\n"
                     "</DBRESULT>@total\n"
                     "<FORM ACTION=done.htmx?step=2><INPUT NAME=KEY></FORM>\n"
                     "@item @step @ @q</HTML>"}},
         {"t.htmx"},
         "t.htmx:1:36: warning: Variable is not defined: TITEL (no configuration entry, built-in "
         "variable, result column or form field has this name)\n"
         "t.htmx:2:80: warning: Variable is not defined: KEY on a first visit (only a field or link "
         "of this page sends it; a configuration entry KEY = \"\" gives it a value until then)\n"
         "t.htmx:3:62: warning: Variable is not defined: qty (no configuration entry, built-in "
         "variable, result column or form field has this name)\n"
         "t.htmx:4:12: warning: Variable is not defined: total (no configuration entry, built-in "
         "variable, result column or form field has this name)\n"
         "t.htmx:6:1: warning: Variable is not defined: item on a first visit (only a field or link "
         "of this page sends it; a configuration entry item = \"\" gives it a value until then)\n"
         "t.htmx:6:7: warning: Variable is not defined: step on a first visit (only a field or link "
         "of this page sends it; a configuration entry step = \"\" gives it a value until then)\n"
         "t.htmx:6:13: warning: Variable is not defined: an @ followed by no name (write @@ for an "
         "at sign)\n"
         "t.htmx:6:15: warning: Cannot reference a SQL operation definiton: q (an SQL operation "
         "has no text)\n",
         0},
        {"INTO names, any column of SELECT *, and fields of another page (not a field named _X_)",
         {{"a.htmx", "<HTML><SQL NAME=q INTO=(N) TEXT=\"SELECT name FROM t\">\n"
                     "<SQL NAME=all TEXT=\"SELECT * FROM t\">\n"
                     "<DBRESULT QUERY=q>@N @name</DBRESULT><DBRESULT QUERY=all>@whatever</DBRESULT>@CITY @_ZIP_</HTML>"},
          {"b.htmx", "<HTML><FORM><SELECT NAME=CITY><OPTION>x</SELECT><INPUT NAME=_ZIP_></FORM></HTML>"}},
         {"a.htmx", "b.htmx"},
         "a.htmx:3:22: warning: Variable is not defined: name (no configuration entry, built-in "
         "variable, result column or form field has this name)\n"
         "a.htmx:3:84: warning: Variable is not defined: _ZIP_ (no configuration entry, built-in "
         "variable, result column or form field has this name)\n",
         0},
        {"names that only the page itself sends, unless a trimmed PARAM or another page sends them",
         {{"s.htmx", "<HTML><FORM ACTION=s.htmx><INPUT NAME=Q VALUE=\"@Q\"><INPUT NAME=W VALUE=@W></FORM>\n"
                     "<SQL NAME=f TEXT=\"SELECT a FROM t WHERE b = ?\"><DBRESULT QUERY=f PARAM=(@Q)></DBRESULT>\n"
                     "<SQL NAME=g TRIM=false TEXT=\"SELECT a FROM t WHERE b = ?\"><DBRESULT QUERY=g PARAM=(@Q)>"
                     "</DBRESULT></HTML>"},
          {"o.htmx", "<HTML><A HREF=\"s.htmx?W=1\">x</A></HTML>"}},
         {"s.htmx", "o.htmx"},
         "s.htmx:1:48: warning: Variable is not defined: Q on a first visit (only a field or link of "
         "this page sends it; a configuration entry Q = \"\" gives it a value until then)\n"
         "s.htmx:3:84: warning: Variable is not defined: Q on a first visit (only a field or link of "
         "this page sends it; a configuration entry Q = \"\" gives it a value until then)\n",
         0},
        {"names that are not evaluated",
         {{"t.htmx", "<HTML><INPUT NAME=@F><INCLUDE FILE=@P><FORM SQLACTION=a ACTION=@DONE PARAM=(@FIELD)>"
                     "<SQL NAME=a TEXT=\"DELETE FROM t WHERE id = @ID\"></FORM></HTML>"},
          {"P", "<B>x</B>"}},
         {"t.htmx"},
         "t.htmx:1:77: warning: Variable is not defined: FIELD (no configuration entry, built-in "
         "variable, result column or form field has this name)\n"
         "t.htmx:1:128: warning: Variable is not defined: ID (no configuration entry, built-in "
         "variable, result column or form field has this name)\n",
         0},
    });
}

TEST(CheckTest, WholeSites) {
    RunCases({
        {"a clean site", {{"quorvel.cfg", "[quorvel]\nGREETING = hi\n"},
                          {"a.htmx", "<HTML>\n<BODY>@GREETING<INCLUDE FILE=foot.htmx></BODY>\n</HTML>\n"},
                          {"foot.htmx", "<ADDRESS>@_QUORVEL_VERSION_</ADDRESS>"}},
         {"a.htmx", "foot.htmx"}, "", 0},
        {"a fragment that no page includes", {{"foot.htmx", "<ADDRESS>x</ADDRESS>"}}, {"foot.htmx"},
         "foot.htmx:1:1: error: Document must start with <HTML> tag: the file starts with <ADDRESS>\n", 1},
        {"a fault in a shared file is reported once",
         {{"a.htmx", "<HTML><INCLUDE FILE=h.htmx></HTML>"}, {"b.htmx", "<HTML><INCLUDE FILE=h.htmx></HTML>"},
          {"h.htmx", "<B>@NOPE</B>"}},
         {"a.htmx", "b.htmx", "h.htmx"},
         "h.htmx:1:4: warning: Variable is not defined: NOPE (no configuration entry, built-in "
         "variable, result column or form field has this name)\n",
         0},
        {"unreadable files", {{"a.htmx", "<HTML><SQL NAME=x></HTML>"}, {"dir/x", ""}},
         {"missing.htmx", "dir", "a.htmx"},
         "missing.htmx: error: cannot read the file: No such file or directory\n"
         "dir: error: cannot read the file: not a regular file\n"
         "a.htmx:1:7: error: Text attribute missing from tag: <SQL> has no TEXT\n",
         2},
    });
}

TEST(CheckTest, RunsNothingAndWritesNothing) {
    E2eSite site;
    site.Write("quorvel.cfg", "_STAT_FILE_ = stats.log\n_DEBUG_ = TRUE\n_CONNECT_ = nosuchdsn:u/p\n");
    site.Write("t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT a FROM t\" CONNECT=\"none:x/y\">\n"
                         "<DBRESULT QUERY=q>@a</DBRESULT>\n"
                         "<INCLUDE FILE=part.htmx><B><FUNCTION COMMAND=\"touch ran\"></B></HTML>");
    site.Write("part.htmx", "<I>x</I>");
    CheckRun run = RunQuorvel(site, {"--check", "t.htmx", "part.htmx"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "2 files checked: 0 errors, 0 warnings\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(site.Exists("ran"));
    EXPECT_FALSE(site.Exists("stats.log"));
    EXPECT_FALSE(site.Exists("qvstat.log"));
    EXPECT_FALSE(site.Exists("quorvel.log"));
}

// The files below `dir` (relative to it) whose names end in `suffix`.
std::vector<std::string> FilesBelow(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> found;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        std::string rel = pending.back();
        pending.pop_back();
        DIR* d = ::opendir((dir + "/" + rel).c_str());
        if (!d)
            continue;
        while (dirent* entry = ::readdir(d)) {
            std::string name = entry->d_name;
            std::string path = rel.empty() ? name : rel + "/" + name;
            if (name == "." || name == ".." || name == "node_modules")
                continue;
            if (entry->d_type == DT_DIR)
                pending.push_back(path);
            else if (name.size() >= suffix.size() &&
                     name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                found.push_back(path);
        }
        ::closedir(d);
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The demo site's templates, all checked together from the folder of its configuration
// file (where the gateway runs), give no finding at all.
TEST(CheckTest, DemoSiteIsClean) {
    std::string shop = std::string(QUORVEL_SOURCE_DIR) + "/examples/shop";
    std::vector<std::string> sites;
    for (const std::string& config : FilesBelow(shop, "quorvel.cfg"))
        sites.push_back(shop + "/" + config.substr(0, config.rfind('/') + 1));
    if (sites.empty() && !FilesBelow(shop, ".htmx").empty())
        sites.push_back(shop);
    if (sites.empty())
        GTEST_SKIP() << "no demo site in " << shop;
    for (const std::string& site : sites) {
        std::vector<std::string> args = FilesBelow(site, ".htmx");
        args.insert(args.begin(), "--check");
        CheckRun run = RunQuorvelIn(site, args);
        EXPECT_EQ(run.out, "") << site;
        EXPECT_EQ(run.err, std::to_string(args.size() - 1) + " files checked: 0 errors, 0 warnings\n")
            << site;
        EXPECT_EQ(run.status, 0) << site;
    }
}

TEST(CheckTest, CommandLine) {
    E2eSite site;
    site.Write("t.htmx", "<HTML>x</HTML>");
    CheckRun usage = RunQuorvel(site, {"--check"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_EQ(usage.out, "");
    EXPECT_EQ(usage.err, "usage: quorvel --check FILE...\n");

    // From a terminal the options answer on standard output and write no file; an unknown
    // option is a usage error, not a request, and so is no option without CGI variables.
    const struct {
        const char* option;
        const char* outStart;
        const char* errStart;
        int status;
    } options[] = {
        {"--version", "quorvel ", "", 0},
        {"--help", "usage: quorvel --check FILE...", "", 0},
        {"--helq", "", "usage: quorvel --check FILE...", 2},
        {"", "", "usage: quorvel --check FILE...", 2},
        {"--render", "", "usage: quorvel --check FILE...", 2},
    };
    for (const auto& o : options) {
        CheckRun run = RunQuorvel(site, *o.option ? std::vector<std::string>{o.option}
                                                  : std::vector<std::string>{});
        EXPECT_EQ(run.status, o.status) << o.option;
        EXPECT_EQ(run.out.substr(0, std::strlen(o.outStart)), o.outStart) << o.option;
        EXPECT_EQ(run.err.substr(0, std::strlen(o.errStart)), o.errStart) << o.option;
        EXPECT_EQ(run.out.empty() + run.err.empty(), 1) << o.option;
    }
    EXPECT_FALSE(site.Exists("qvstat.log"));

    // A web server that passes the query string `--check` as an argument still gets the
    // gateway: the query has no `=`, which is error 38, and no page is checked.
    CheckRun cgi = RunQuorvel(site, {"--check", "t.htmx"},
                              {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"PATH_INFO", "t.htmx"},
                               {"QUERY_STRING", "--check"}, {"REQUEST_METHOD", "GET"}});
    EXPECT_EQ(cgi.status, 0);
    EXPECT_EQ(cgi.out.substr(0, 35), "Status: 500 Internal Server Error\nC");
    EXPECT_NE(site.StatsWithoutTimestamps().find("Syntax error in query string specified in URL"),
              std::string::npos);
}

}  // namespace
