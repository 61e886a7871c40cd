// Post-process redirects, form bodies and the statistics log under concurrency.
#include <gtest/gtest.h>

#include <set>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/E2eHarness.h"

namespace {

struct RedirectCase {
    const char* name;
    const char* query;
    const char* expected;
};

TEST(PostProcessRedirectTest, TargetsAndQueryStrings) {
    const char* const kOffSite = "Content-TYPE: text/html\nLocation: e.htm\n\n";
    const RedirectCase cases[] = {
        {"relative target, nothing appended", "_POST_PROCESS_=done.html&a=1",
         "Content-TYPE: text/html\nLocation: done.html\n\n"},
        {"http target gets the query without the hidden fields",
         "a=1&_POST_PROCESS_=HTTP://h/x&b=2&_MAX_NAME_MODIFIER_=3&c=4",
         "Content-TYPE: text/html\nLocation: HTTP://h/x?a=1&b=2&c=4\n\n"},
        {"hidden field last", "a=1&_POST_PROCESS_=http:x", "Content-TYPE: text/html\nLocation: http:x?a=1\n\n"},
        {"only the hidden field", "_POST_PROCESS_=http:x", "Content-TYPE: text/html\nLocation: http:x?\n\n"},
        {"submitted text is a word, not a reference", "_POST_PROCESS_=%40T",
         "Content-TYPE: text/html\nLocation: @T\n\n"},
        {"line breaks in the target", "_POST_PROCESS_=a%0D%0ALocation:+evil",
         "Content-TYPE: text/html\nLocation: a%0D%0ALocation: evil\n\n"},
        {"every control byte in the target", "_POST_PROCESS_=a%00b%1Bc%7Fd%09e",
         "Content-TYPE: text/html\nLocation: a%00b%1Bc%7Fd%09e\n\n"},
        {"control bytes in the appended query", "_POST_PROCESS_=http:x&c=\x1b\x7f",
         "Content-TYPE: text/html\nLocation: http:x?c=%1B%7F\n\n"},
        // The hidden fields go by exact name; a value holding their names stays whole.
        {"hidden field names inside values", "a=x_POST_PROCESS_y&_POST_PROCESS_=http:x&b=_MAX_NAME_MODIFIER_",
         "Content-TYPE: text/html\nLocation: http:x?a=x_POST_PROCESS_y&b=_MAX_NAME_MODIFIER_\n\n"},
        {"encoded hidden field name", "%5FPOST_PROCESS_=http:x&X_POST_PROCESS_=1&c=3",
         "Content-TYPE: text/html\nLocation: http:x?X_POST_PROCESS_=1&c=3\n\n"},
        // Only the site's own hosts (SERVER_NAME x, HTTP_HOST h:8080, the configured ones).
        {"own hosts, any port and case", "_POST_PROCESS_=https://X:8443/a",
         "Content-TYPE: text/html\nLocation: https://X:8443/a\n\n"},
        {"configured host", "_POST_PROCESS_=https://PAY.example/", "Content-TYPE: text/html\nLocation: https://PAY.example/\n\n"},
        {"path with a colon", "_POST_PROCESS_=/a:b", "Content-TYPE: text/html\nLocation: /a:b\n\n"},
        {"backslash after the slash", "_POST_PROCESS_=/\\evil.example/", kOffSite},
        {"two slashes", "_POST_PROCESS_=//evil.example", kOffSite},
        {"blank, then two backslashes", "_POST_PROCESS_=+%5C%5Cevil.example", kOffSite},
        {"other host", "_POST_PROCESS_=http://evil.example/", kOffSite},
        {"own host as user name", "_POST_PROCESS_=HTTP://x@evil.example/", kOffSite},
        {"own host as sub-domain", "_POST_PROCESS_=http://x.evil.example:80/", kOffSite},
        {"configured host as prefix", "_POST_PROCESS_=https://pay.example.evil/", kOffSite},
        {"scheme without slashes", "_POST_PROCESS_=https:evil.example", kOffSite},
        {"scheme with three slashes", "_POST_PROCESS_=http:///evil.example", kOffSite},
        {"host list from the request", "_REDIRECT_HOSTS_=evil.example&_POST_PROCESS_=http://evil.example/", kOffSite},
        {"script", "_POST_PROCESS_=javascript:alert(1)", kOffSite},
        {"data", "_POST_PROCESS_=data:text/html,x", kOffSite},
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_ERR_URL_=e.htm T=thanks.htm _REDIRECT_HOSTS_=\"pay.example, partner.example\"");
        site.Write("t.htmx", "<HTML><P>no markup is written</P>@T</HTML>");
        EXPECT_EQ(site.Get("t.htmx", c.query, {{"SERVER_NAME", "x"}, {"HTTP_HOST", "h:8080"}}).out, c.expected)
            << c.name;
    }
}

TEST(PostProcessRedirectTest, ConfiguredTargetIsEvaluated) {
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=e.htm T=thanks.htm _POST_PROCESS_=@T");
    site.Write("t.htmx", "<HTML>x</HTML>");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: thanks.htm\n\n");
    site.Write("quorvel.cfg", "_ERR_URL_=e.htm _POST_PROCESS_=@none");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: e.htm\n\n");
    site.Write("quorvel.cfg", "_ERR_URL_=e.htm _POST_PROCESS_=http://elsewhere.example/");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: e.htm\n\n");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx\nt.htmx Variable is not defined: none\n"
                                             "t.htmx Syntax or semantic error in SQL statement: http://elsewhere.example/\n");
}

TEST(FormBodyTest, UrlEncodedBodyIsReadAfterTheQueryString) {
    E2eSite site;
    site.Write("t.htmx", "<HTML>@a|@b|@c|@_QUERY_STRING_</HTML>");
    const std::string body = "b=body+b&c=%21";
    GatewayRun r = site.Run({{"PATH_INFO", "t.htmx"},
                             {"QUERY_STRING", "a=qa&b=qb"},
                             {"REQUEST_METHOD", "POST"},
                             {"CONTENT_TYPE", "application/x-www-form-urlencoded; charset=UTF-8"},
                             {"CONTENT_LENGTH", std::to_string(body.size())}},
                            body);
    // _QUERY_STRING_ is data: its `&` is written as a character reference.
    EXPECT_EQ(r.out, "Content-TYPE: text/html\n\n<HTML>qa|body b|!|a=qa&#38;b=qb</HTML>");
}

// A body is read only for a POST of a URL-encoded form, and refused whole when it is bad.
TEST(FormBodyTest, BadOrForeignBodiesDefineNothing) {
    std::string many;
    for (int i = 0; i < 65535; ++i)
        many += "x=1&";
    const std::string bad = "Syntax error in query string specified in URL: ";
    const struct {
        std::string length, body, error;  // error empty: the page is served
        std::string method = "POST", type = "application/x-www-form-urlencoded";
    } cases[] = {
        {"2000000", "b=1", bad + "2000000"},   // larger than the limit
        {"10", "b=1", bad + "10"},             // shorter than announced
        {"-1", "", bad + "-1"},                // not a length
        {"3x", "b=1", bad + "3x"},
        {"3", "b=1", ""},                      // fine, for contrast
        // At most 65536 parameters, refused before any is defined.
        {"", many + "x=1&b=1", bad + "more than 65536 parameters"},
        {"", many + "b=1", ""},
        {"3", "b=1", "Variable is not defined: b", "GET"},
        {"3", "b=1", "Variable is not defined: b", "POST", "multipart/form-data"},
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_ERR_URL_=e");
        site.Write("t.htmx", "<HTML>@b</HTML>");
        GatewayRun r = site.Run({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", c.method}, {"CONTENT_TYPE", c.type},
                                 {"CONTENT_LENGTH", c.length.empty() ? std::to_string(c.body.size()) : c.length}},
                                c.body);
        if (c.error.empty()) {
            EXPECT_EQ(r.out, "Content-TYPE: text/html\n\n<HTML>1</HTML>") << c.length;
        } else {
            EXPECT_EQ(r.out, "Content-TYPE: text/html\nLocation: e\n\n") << c.error;
            EXPECT_NE(site.StatsWithoutTimestamps().find(c.error), std::string::npos) << c.error;
        }
    }
}

TEST(ReservedNamesTest, RequestChoosesNoSettingFileOrUser) {
    // Names of the form _X_ (also with row groups) are the configuration's and the
    // server's: sent by a request they define nothing, and the page sees the real ones.
    const std::string config = "_ERR_URL_=e _INCLUDE_PATH_=lib _CONNECT_=\"shop:/\" V=cfg";
    const struct {
        const char* query;
        const char* page;
        const char* out;
    } cases[] = {
        {"_STAT_FILE_=quorvel.cfg&V=qs", "<HTML>@V</HTML>", "Content-TYPE: text/html\n\n<HTML>qs</HTML>"},
        {"_STAT_FILE_=new.log&_DEBUG_=TRUE&_LOG_FILE_=debug.log", "<HTML>x</HTML>",
         "Content-TYPE: text/html\n\n<HTML>x</HTML>"},
        {"_REMOTE_USER_=admin&_REMOTE_ADDR_=1.2.3.4&_CONNECT_=other:/&_INCLUDE_PATH_=.",
         "<HTML>@_REMOTE_USER_|@_REMOTE_ADDR_|@_CONNECT_|@_INCLUDE_PATH_</HTML>",
         "Content-TYPE: text/html\n\n<HTML>alice|10.0.0.1|shop:/|lib</HTML>"},
        {"_REMOTE_USER____2=admin&_X_=1", "<HTML>@_REMOTE_USER____2@_X_</HTML>",
         "Content-TYPE: text/html\nLocation: e\n\n"},
        {"_ERR_URL_=http://evil/", "<HTML>@nope</HTML>", "Content-TYPE: text/html\nLocation: e\n\n"},
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", config);
        site.Write("t.htmx", c.page);
        EXPECT_EQ(site.Get("t.htmx", c.query, {{"REMOTE_USER", "alice"}, {"REMOTE_ADDR", "10.0.0.1"}}).out, c.out)
            << c.query;
        EXPECT_EQ(site.Read("quorvel.cfg"), config) << c.query;
        for (const char* file : {"new.log", "debug.log", "quorvel.log"})
            EXPECT_FALSE(site.Exists(file)) << c.query << ": " << file;
        EXPECT_NE(site.StatsWithoutTimestamps().find("t.htmx?" + std::string(c.query)), std::string::npos);
    }
}

TEST(StatisticsTest, RecordFormatAndCustomFile) {
    E2eSite site;
    site.Write("quorvel.cfg", "_STAT_FILE_=logs/all.log");
    site.Write("logs/.keep", "");
    site.Write("a.htmx", "<HTML>@x</HTML>");
    site.Get("a.htmx", "x=1");
    site.Get("a.htmx", "y=1");
    site.Get("a.htmx", "");
    std::string log = site.Read("logs/all.log");
    std::vector<std::string> lines;
    for (size_t s = 0, e; (e = log.find("\r\n", s)) != std::string::npos; s = e + 2)
        lines.push_back(log.substr(s, e - s));
    ASSERT_EQ(lines.size(), 3u) << log;
    std::string rest;
    ASSERT_TRUE(StripTimestamp(lines[0], rest)) << lines[0];
    EXPECT_EQ(rest, "a.htmx?x=1");
    ASSERT_TRUE(StripTimestamp(lines[1], rest));
    EXPECT_EQ(rest, "a.htmx?y=1 Variable is not defined: x");
    ASSERT_TRUE(StripTimestamp(lines[2], rest));
    EXPECT_EQ(rest, "a.htmx Variable is not defined: x");
    EXPECT_FALSE(site.Exists("qvstat.log"));
}

TEST(StatisticsTest, ConcurrentRequestsKeepEveryLineWhole) {
    E2eSite site;
    site.Write("t.htmx", "<HTML>" + std::string(20000, 'x') + "</HTML>");
    const int kProcesses = 24;
    const int kRequestsEach = 5;
    site.StartGateway();
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kRequestsEach; ++i) {
                std::string query = "p=" + std::to_string(p) + "&i=" + std::to_string(i) + "&pad=" +
                                    std::string(static_cast<size_t>(300 + p * 37), 'q');
                GatewayRun r = site.Get("t.htmx", query);
                if (r.exitCode != 0)
                    ::_exit(1);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string stats = site.StatsWithoutTimestamps();
    std::set<std::string> seen;
    size_t count = 0;
    for (size_t s = 0, e; (e = stats.find('\n', s)) != std::string::npos; s = e + 1) {
        std::string line = stats.substr(s, e - s);
        ++count;
        EXPECT_EQ(line.rfind("t.htmx?p=", 0), 0u) << line;
        seen.insert(line);
    }
    EXPECT_EQ(count, static_cast<size_t>(kProcesses * kRequestsEach));
    EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses * kRequestsEach));
    for (int p = 0; p < kProcesses; ++p)
        for (int i = 0; i < kRequestsEach; ++i)
            EXPECT_EQ(seen.count("t.htmx?p=" + std::to_string(p) + "&i=" + std::to_string(i) + "&pad=" +
                                 std::string(static_cast<size_t>(300 + p * 37), 'q')),
                      1u);
}

}  // namespace
