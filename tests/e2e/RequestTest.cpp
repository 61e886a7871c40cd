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
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_ERR_URL_=e.htm T=thanks.htm");
        site.Write("t.htmx", "<HTML><P>no markup is written</P>@T</HTML>");
        EXPECT_EQ(site.Get("t.htmx", c.query).out, c.expected) << c.name;
    }
}

TEST(PostProcessRedirectTest, ConfiguredTargetIsEvaluated) {
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=e.htm T=thanks.htm _POST_PROCESS_=@T");
    site.Write("t.htmx", "<HTML>x</HTML>");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: thanks.htm\n\n");
    site.Write("quorvel.cfg", "_ERR_URL_=e.htm _POST_PROCESS_=@none");
    EXPECT_EQ(site.Get("t.htmx").out, "Content-TYPE: text/html\nLocation: e.htm\n\n");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx\nt.htmx Variable is not defined: none\n");
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

TEST(FormBodyTest, BodyIsIgnoredForGetAndOtherTypes) {
    E2eSite site;
    site.Write("quorvel.cfg", "_ERR_URL_=e");
    site.Write("t.htmx", "<HTML>@b</HTML>");
    GatewayRun get = site.Run({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "GET"},
                               {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                               {"CONTENT_LENGTH", "3"}}, "b=1");
    EXPECT_EQ(get.out, "Content-TYPE: text/html\nLocation: e\n\n");
    GatewayRun multipart = site.Run({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "POST"},
                                     {"CONTENT_TYPE", "multipart/form-data"}, {"CONTENT_LENGTH", "3"}},
                                    "b=1");
    EXPECT_EQ(multipart.out, "Content-TYPE: text/html\nLocation: e\n\n");
}

TEST(FormBodyTest, BadBodiesAreRefusedWhole) {
    const std::pair<std::string, std::string> cases[] = {
        {"2000000", "b=1"},   // larger than the limit
        {"10", "b=1"},        // shorter than announced
        {"-1", ""},           // not a length
        {"3x", "b=1"},
        {"3", "b=1"},         // fine, for contrast
    };
    for (const auto& c : cases) {
        E2eSite site;
        site.Write("quorvel.cfg", "_ERR_URL_=e");
        site.Write("t.htmx", "<HTML>@b</HTML>");
        GatewayRun r = site.Run({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "POST"},
                                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                                 {"CONTENT_LENGTH", c.first}},
                                c.second);
        if (c.first == "3") {
            EXPECT_EQ(r.out, "Content-TYPE: text/html\n\n<HTML>1</HTML>");
        } else {
            EXPECT_EQ(r.out, "Content-TYPE: text/html\nLocation: e\n\n") << c.first;
            EXPECT_NE(site.StatsWithoutTimestamps().find("Syntax error in query string specified in URL: " +
                                                         c.first), std::string::npos)
                << c.first;
        }
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
