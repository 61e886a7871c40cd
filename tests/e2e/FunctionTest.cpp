// Whole requests with FUNCTION tags that run small shell scripts written by the tests.
#include "e2e/E2eHarness.h"

#include <gtest/gtest.h>

namespace {

const char kHeader[] = "Content-TYPE: text/html\n\n";
const char kErrorRedirect[] = "Content-TYPE: text/html\nLocation: err.html\n\n";

class FunctionTest : public ::testing::Test {
protected:
    void SetUp() override {
        Config("");
        Script("hello.sh", "printf 'hello\\377'");
        Script("args.sh", "printf '%s|' \"$@\"; printf '\\377'");
        Script("ab.sh", "printf 'a\\377b'");
        Script("bold.sh", "printf '<B>x</B>\\377'");
        Script("partial.sh", "printf 'part'");
        Script("ran.sh", "echo ran >> ran.txt; printf 'ran\\377'");
    }

    void Config(const std::string& extra) {
        site.Write("quorvel.cfg", "_ERR_URL_ = err.html\n_HTMX_PATH_ = .\n" + extra);
    }
    void Script(const std::string& name, const std::string& body) {
        site.Write(name, "#!/bin/sh\n" + body + "\n", 0755);
    }
    // A page whose paragraph holds `function`; the "]" after it is FUNCTION content and
    // never appears.
    static std::string Template(const std::string& function) {
        return "<HTML><BODY><B>[" + function + "]</B></BODY></HTML>";
    }
    static std::string Page(const std::string& inserted) {
        return kHeader + std::string("<HTML><BODY><B>[") + inserted + "</B></BODY></HTML>";
    }
    GatewayRun Request(const std::string& function, const std::string& query = "",
                       const std::map<std::string, std::string>& extra = {}) {
        site.Write("t.htm", Template(function));
        return site.Get("/t.htm", query, extra);
    }

    E2eSite site;
};

TEST_F(FunctionTest, OutputIsInsertedUpToTerminator) {
    std::string counted;
    for (int i = 0; i < 45; ++i) {
        char piece[11];
        snprintf(piece, sizeof piece, "%09d|", i);
        counted += piece;
    }
    Script("zero.sh", "printf 'a\\000b\\377c'");
    Script("long.sh", "i=0; while [ $i -lt 45 ]; do printf '%09d|' $i; i=$((i+1)); done; printf '\\377'");
    struct Case {
        const char* function;
        std::string inserted;
    } cases[] = {
        {"<FUNCTION COMMAND=./hello.sh>", "hello"},
        {"<FUNCTION PATH=./hello.sh COMMAND=anything>", "hello"},
        {"<FUNCTION COMMAND=./long.sh>", counted},
        {"<FUNCTION COMMAND=./ab.sh>", "a"},
        {"<FUNCTION COMMAND=./zero.sh>", std::string("a\0b", 3)},  // a zero byte does not cut the chunk
        {"<FUNCTION COMMAND=./bold.sh>", "<B>x</B>"},
        {"<FUNCTION COMMAND=\"./args.sh \"\"two  words\"\" plain\">", "two  words|plain|"},
        {"<FUNCTION COMMAND=\"printf \"\"%s-%s\\377\"\" x y\">", "x-y"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Request(c.function).out, Page(c.inserted)) << c.function;
}

TEST_F(FunctionTest, ProcessChoosesTheKindOfRequest) {
    struct Case {
        const char* process;
        bool inPage;
    } cases[] = {
        {"", true}, {" PROCESS=PRE", true}, {" PROCESS=pre", true}, {" PROCESS=\"Pre\"", true},
        {" PROCESS=POST", false}, {" PROCESS=later", false},
    };
    for (const Case& c : cases) {
        std::string function = std::string("<FUNCTION") + c.process + " COMMAND=./ran.sh>";
        site.Remove("ran.txt");
        GatewayRun page = Request(function);
        EXPECT_EQ(page.out, Page(c.inPage ? "ran" : "")) << function;
        EXPECT_EQ(site.Exists("ran.txt"), c.inPage) << function;

        site.Remove("ran.txt");
        GatewayRun post = Request(function, "_POST_PROCESS_=done.html");
        EXPECT_EQ(post.out, "Content-TYPE: text/html\nLocation: done.html\n\n") << function;
        EXPECT_EQ(site.Exists("ran.txt"), !c.inPage) << function;
    }
}

TEST_F(FunctionTest, PostProcessOutputGoesToThePageBufferOnly) {
    Config("_DEBUG_ = TRUE\n");
    Script("post.sh", "printf 'posted-output\\377'");
    GatewayRun post = Request("<FUNCTION PROCESS=POST COMMAND=./post.sh>", "_POST_PROCESS_=done.html");
    EXPECT_EQ(post.out, "Content-TYPE: text/html\nLocation: done.html\n\n");
    EXPECT_NE(site.Read("quorvel.log").find("posted-output"), std::string::npos);
}

TEST_F(FunctionTest, DefaultStandsInForEveryFailure) {
    site.Write("plain.sh", "#!/bin/sh\nprintf 'x\\377'\n", 0644);
    struct Case {
        const char* attributes;
        std::string inserted;
        std::string said;  // standard error, after the FUNCTION's place
    } cases[] = {
        {"DEFAULT=n/a", "n/a", "error 22: No command specified in FUNCTION tag"},
        {"DEFAULT=n/a COMMAND=./missing.sh", "n/a",
         "error 32: External function call failed: ./missing.sh (program not found)"},
        {"DEFAULT=n/a COMMAND=qv-no-such-program", "n/a",
         "error 32: External function call failed: qv-no-such-program (program not found)"},
        {"DEFAULT=n/a PATH=./plain.sh COMMAND=plain", "n/a",
         "error 32: External function call failed: plain (not executable (permission denied))"},
        {"DEFAULT=n/a COMMAND=@UNDEFINED", "n/a", "error 9: Variable is not defined: UNDEFINED"},
        {"DEFAULT=n/a PATH=@UNDEFINED COMMAND=./hello.sh", "n/a", "error 9: Variable is not defined: UNDEFINED"},
        {"DEFAULT=\"<I>@WHO</I>\" COMMAND=./partial.sh", "part<I>me</I>",
         "error 32: External function call failed: ./partial.sh (its output ended before the end-of-answer byte)"},
        {"DEFAULT COMMAND=./partial.sh", "part", "error 32: External function call failed: ./partial.sh "
         "(its output ended before the end-of-answer byte)"},
    };
    for (const Case& c : cases) {
        GatewayRun r = Request(std::string("<FUNCTION ") + c.attributes + ">", "WHO=me");
        EXPECT_EQ(r.out, Page(c.inserted)) << c.attributes;
        EXPECT_EQ(r.err, "quorvel: ./t.htm:1:17: " + c.said + "; its DEFAULT was written instead\n")
            << c.attributes;
    }
}

TEST_F(FunctionTest, FailuresWithoutDefaultEndTheRequest) {
    Config("_DEBUG_ = TRUE\n");
    struct Case {
        const char* attributes;
        const char* logged;
    } cases[] = {
        {"PATH=./hello.sh", "<!-- No command specified in FUNCTION tag:  -->"},
        {"COMMAND=./missing.sh", "<!-- External function call failed: ./missing.sh -->"},
        {"COMMAND=\"./partial.sh now\"", "<B>[part<!-- External function call failed: ./partial.sh now -->"},
        {"COMMAND=@UNDEFINED", "<!-- Variable is not defined: UNDEFINED -->"},
        {"DEFAULT=@UNDEFINED COMMAND=./hello.sh", "<!-- Variable is not defined: UNDEFINED -->"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Request(std::string("<FUNCTION ") + c.attributes + ">").out, kErrorRedirect) << c.attributes;
        EXPECT_NE(site.Read("quorvel.log").find(c.logged), std::string::npos)
            << c.attributes << "\n" << site.Read("quorvel.log");
    }
}

// The program sees the request's environment but not HTTP_PROXY; what it writes to its
// standard error goes to the gateway's, not into the page.
TEST_F(FunctionTest, ProgramEnvironmentAndStandardError) {
    Script("env.sh", "printf 'complaint' >&2; printf '%s,%s\\377' \"$QUERY_STRING\" \"${HTTP_PROXY-unset}\"");
    GatewayRun run = Request("<FUNCTION COMMAND=./env.sh>", "a=1&b=2", {{"HTTP_PROXY", "http://evil:8"}});
    EXPECT_EQ(run.out, Page("a=1&b=2,unset"));
    EXPECT_NE(run.err.find("complaint"), std::string::npos);
}

TEST_F(FunctionTest, QueryValuesCannotStartCommandsOrAddArguments) {
    // Whatever quotes, blanks or shell syntax a value holds, it stays inside the one
    // argument the template wrote around its reference.
    const char* const payloads[] = {
        "x; touch pwned", "x | touch pwned", "x && touch pwned", "$(touch pwned)", "`touch pwned`",
        "x > pwned", "x\ntouch pwned", "\"x\" ; touch pwned", "ok\" --evil \"x", "\"", " \t ", "a\"\"b",
    };
    for (const std::string payload : payloads) {
        std::string encoded;
        for (unsigned char ch : payload) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", ch);
            encoded += hex;
        }
        const std::pair<std::string, std::string> cases[] = {
            {"COMMAND=\"./args.sh @X\"", payload + "|"},
            {"COMMAND=\"./args.sh \"\"@X\"\" @X\"", payload + "|" + payload + "|"},
            {"COMMAND=\"./args.sh a@X\"\"b c\"\"d \"\"\"\"\"", "a" + payload + "b cd||"},
            {"PATH=./args.sh COMMAND=\"label0 @X\"", payload + "|"},
        };
        for (const auto& c : cases)
            EXPECT_EQ(Request("<FUNCTION " + c.first + ">", "X=" + encoded).out, Page(c.second))
                << c.first << " with " << payload;
        // As the whole command line: the value names the program, nothing else.
        Request("<FUNCTION COMMAND=@X DEFAULT=refused>", "X=" + encoded);
        EXPECT_FALSE(site.Exists("pwned")) << payload;
        site.Remove("pwned");
    }
}

// A background job still holding the program's output holds neither a complete answer nor
// a program that ended without one: the gateway ends the program's group. (The harness
// reads the gateway's standard error to its end, which the sleepers inherited: the request
// is over only when they are gone too.)
TEST_F(FunctionTest, BackgroundJobsDoNotHoldTheRequest) {
    Script("linger.sh", kSleepPastTheLimit + " & printf 'quick\\377'; " + kSleepPastTheLimit);
    Script("bg.sh", kSleepPastTheLimit + " & printf 'part'");
    EXPECT_EQ(Request("<FUNCTION COMMAND=./linger.sh>").out, Page("quick"));
    EXPECT_EQ(Request("<FUNCTION COMMAND=./bg.sh DEFAULT=gone>").out, Page("partgone"));
}

}  // namespace
