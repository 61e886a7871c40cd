#include "forms/HFormElement.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "base/FakeRequest.h"
#include "elements/ElementFixture.h"

using namespace quorvel;

namespace {

// Sets CGI variables for one test and restores the previous environment afterwards.
class ScopedEnv {
public:
    explicit ScopedEnv(const std::map<std::string, const char*>& vars) {
        for (const auto& kv : vars) {
            const char* old = std::getenv(kv.first.c_str());
            saved_.emplace(kv.first, old ? std::make_pair(true, std::string(old))
                                         : std::make_pair(false, std::string()));
            if (kv.second)
                ::setenv(kv.first.c_str(), kv.second, 1);
            else
                ::unsetenv(kv.first.c_str());
        }
    }
    ~ScopedEnv() {
        for (const auto& kv : saved_) {
            if (kv.second.first)
                ::setenv(kv.first.c_str(), kv.second.second.c_str(), 1);
            else
                ::unsetenv(kv.first.c_str());
        }
    }

private:
    std::map<std::string, std::pair<bool, std::string>> saved_;
};

const std::map<std::string, const char*> kRequest = {
    {"SERVER_NAME", "server1"}, {"SERVER_PORT", "80"},   {"SCRIPT_NAME", "/cgi/gate"},
    {"PATH_INFO", "/shop/order"}, {"QUERY_STRING", "id=7"},
};

std::string Hidden(const std::string& action, const std::string& max) {
    return "<INPUT TYPE=HIDDEN NAME=_POST_PROCESS_ VALUE=\"" + action +
           "\"><INPUT TYPE=HIDDEN NAME=_MAX_NAME_MODIFIER_ VALUE=\"" + max + "\">";
}

TEST(HFormElementTest, PostProcessedFormComesBackToThisRequest) {
    ScopedEnv env(kRequest);
    ElementFixture f;
    f.Parse("<FORM SQLACTION=save_order ACTION=thanks METHOD=GET VALIDATION=(a,b,c,d) "
            "PARAM=(@ID)><INPUT NAME=QTY></FORM>");
    std::string out = f.Write();
    EXPECT_NE(out.find(" ACTION=http://server1:80/cgi/gate/shop/order?id=7"), std::string::npos) << out;
    EXPECT_NE(out.find(" METHOD=GET"), std::string::npos) << out;
    for (const char* gone : {"SQLACTION", "save_order", "VALIDATION", "PARAM"})
        EXPECT_EQ(out.find(gone), std::string::npos) << gone << " in " << out;
    std::string end = "<INPUT NAME=QTY>" + Hidden("thanks", "___1") + "</FORM>";
    EXPECT_EQ(out.substr(out.size() - end.size()), end);
    EXPECT_EQ(f.ctx.formAction, "thanks");
}

TEST(HFormElementTest, PlainFormIsWrittenUnchanged) {
    ScopedEnv env(kRequest);
    ElementFixture f;
    f.Parse("<FORM ACTION=thanks VALIDATION=v PARAM=p>x</FORM>");
    std::string out = f.Write();
    for (const char* kept : {" ACTION=thanks", " VALIDATION=v", " PARAM=p", ">x</FORM>"})
        EXPECT_NE(out.find(kept), std::string::npos) << kept << " in " << out;
    EXPECT_EQ(out.find("HIDDEN"), std::string::npos) << out;
}

TEST(HFormElementTest, RewrittenTarget) {
    const struct {
        std::map<std::string, const char*> env;
        const char* target;
    } cases[] = {
        {{{"PATH_INFO", "\\shop\\order"}}, "http://server1:80/cgi/gate/shop/order?id=7"},
        {{{"QUERY_STRING", nullptr}}, "http://server1:80/cgi/gate/shop/order"},
        {{{"QUERY_STRING", ""}}, "http://server1:80/cgi/gate/shop/order?"},
        {{{"SERVER_PORT", nullptr}, {"SCRIPT_NAME", nullptr}}, "http://server1:/shop/order?id=7"},
        // Nothing from the request can end the unquoted attribute or open markup, and
        // path bytes that the server would read differently travel encoded.
        {{{"QUERY_STRING", "a=\"><script>x</script>&b='1` 2"}},
         "http://server1:80/cgi/gate/shop/order?a=%22%3E%3Cscript%3Ex%3C/script%3E&b=%271%60%202"},
        {{{"PATH_INFO", "/a b%?#.htmx"}, {"QUERY_STRING", "q=%25"}},
         "http://server1:80/cgi/gate/a%20b%25%3F%23.htmx?q=%25"},
        {{{"SERVER_NAME", "evil\"><b>"}}, "http://evil%22%3E%3Cb%3E:80/cgi/gate/shop/order?id=7"},
        // A page served over TLS posts over TLS.
        {{{"HTTPS", "On"}}, "https://server1:80/cgi/gate/shop/order?id=7"},
        {{{"REQUEST_SCHEME", "https"}}, "https://server1:80/cgi/gate/shop/order?id=7"},
        {{{"HTTPS", "off"}, {"REQUEST_SCHEME", "http"}}, "http://server1:80/cgi/gate/shop/order?id=7"},
    };
    for (const auto& c : cases) {
        ScopedEnv base(kRequest);
        ScopedEnv env(c.env);
        EXPECT_EQ(RewrittenFormTarget(), c.target);
    }
    ScopedEnv base(kRequest);
    ScopedEnv env(std::map<std::string, const char*>{{"PATH_INFO", "\\shop\\order"}});
    RewrittenFormTarget();
    EXPECT_STREQ(std::getenv("PATH_INFO"), "/shop/order");

    // A request handed in is the only source: the target comes from its variables, and
    // its PATH_INFO is the one set right; the process environment is left as it was.
    FakeRequest request;
    request.variables = {{"HTTPS", "on"}, {"SERVER_NAME", "inner"}, {"SERVER_PORT", "8443"},
                         {"SCRIPT_NAME", "/q"}, {"PATH_INFO", "\\a\\b"}};
    ScopedEnv outer(std::map<std::string, const char*>{{"PATH_INFO", "\\x"}});
    EXPECT_EQ(RewrittenFormTarget(request), "https://inner:8443/q/a/b");
    EXPECT_EQ(request.Text("PATH_INFO"), "/a/b");
    EXPECT_STREQ(std::getenv("PATH_INFO"), "\\x");
}

TEST(HFormElementTest, EachFormCarriesItsOwnRows) {
    ScopedEnv env(kRequest);
    ElementFixture f;
    f.Parse("<FORM SQLACTION=a ACTION=one><INPUT NAME=QTY></FORM>");
    f.ctx.nameModifier = "___2___4";
    std::string first = f.Write();
    EXPECT_NE(first.find(Hidden("one", "___2___4")), std::string::npos) << first;

    // A second form without fields in rows starts over at ___1; without an ACTION it has
    // no target of its own and carries the previous form's ACTION text.
    ElementFixture g;
    g.ctx.maxNameModifier = "___9";
    g.ctx.formAction = "one";
    g.Parse("<FORM SQLACTION=b METHOD=POST><INPUT NAME=X></FORM>");
    std::string second = g.Write();
    EXPECT_NE(second.find(Hidden("one", "___1")), std::string::npos) << second;
    EXPECT_EQ(second.find("ACTION="), std::string::npos) << second;
}

TEST(HFormElementTest, PostProcessWritesNothing) {
    ScopedEnv env(kRequest);
    ElementFixture f;
    f.Parse("<FORM ACTION=x><B>text</B><INPUT NAME=A DATATYPE=(NUMBER,n.htm)></FORM>");
    f.ctx.postProcess = true;
    f.Define("A", "12");
    EXPECT_EQ(f.Write(), "");
}

}  // namespace
