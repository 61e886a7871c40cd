// Forms without a database: how a post-processed form is written, and the constraint
// checks of a submission, which stop it before any action runs.
#include <gtest/gtest.h>

#include "e2e/E2eHarness.h"
#include "e2e/FormBrowser.h"

namespace {

const char kConfig[] = "_HTMX_PATH_=. _ERR_URL_=err.htm";

const char kOrderPage[] =
    "<HTML><BODY>\n"
    "<FORM SQLACTION=save ACTION=thanks.htm METHOD=POST PARAM=(@QTY,@DAY)>\n"
    "<INPUT NAME=QTY SIZE=3 DATATYPE=(NUMBER,num.htm) LOW_VALUE=(1,low.htm) "
    "HIGH_VALUE=(10,\"high.htm\") MANDATORY=(TRUE,missing.htm)>\n"
    "<INPUT NAME=DAY DATATYPE=(DATE,date.htm)>\n"
    "<INPUT TYPE=HIDDEN NAME=SECRET VALUE=x MANDATORY=(TRUE,never.htm)>\n"
    "<TEXTAREA NAME=NOTE>hello</TEXTAREA>\n"
    "</FORM></BODY></HTML>";

std::map<std::string, std::string> PageRequest() {
    return {{"SERVER_NAME", "shop.example"}, {"SERVER_PORT", "8080"}, {"SCRIPT_NAME", ""}};
}

TEST(FormPageTest, FormIsWrittenToComeBack) {
    E2eSite site;
    site.Write("quorvel.cfg", kConfig);
    site.Write("order.htmx", kOrderPage);
    GatewayRun r = site.Get("/order.htmx", "id=7", PageRequest());
    std::vector<PageForm> forms = ReadForms(r.out);
    ASSERT_EQ(forms.size(), 1u) << r.out;
    const PageForm& form = forms[0];
    EXPECT_EQ(form.attributes.at("ACTION"), "http://shop.example:8080/order.htmx?id=7");
    EXPECT_EQ(form.attributes.at("METHOD"), "POST");
    EXPECT_EQ(form.attributes.count("SQLACTION") + form.attributes.count("PARAM"), 0u) << r.out;
    EXPECT_EQ(form.Names(), (std::vector<std::string>{"QTY", "DAY", "SECRET", "NOTE", "_POST_PROCESS_",
                                                      "_MAX_NAME_MODIFIER_"}));
    EXPECT_EQ(form.Field("_POST_PROCESS_")->value, "thanks.htm");
    EXPECT_EQ(form.Field("_MAX_NAME_MODIFIER_")->value, "___1");
    EXPECT_EQ(form.Field("NOTE")->value, "hello");
    EXPECT_EQ(r.out.find("LOW_VALUE"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("MANDATORY"), std::string::npos) << r.out;
}

TEST(FormPageTest, ConstraintFailuresRedirectBeforeAnything) {
    E2eSite site;
    site.Write("quorvel.cfg", kConfig);
    site.Write("order.htmx", kOrderPage);
    PageForm form = ReadForms(site.Get("/order.htmx", "id=7", PageRequest()).out).at(0);
    const struct {
        std::map<std::string, std::string> values;
        const char* target;
        const char* stats;
    } cases[] = {
        {{{"QTY", ""}}, "missing.htm", "Constraint check failed: QTY"},
        {{{"QTY", "3,5"}}, "num.htm", "Constraint check failed: QTY"},
        {{{"QTY", "0"}}, "low.htm", "Constraint check failed: QTY"},
        {{{"QTY", "10.5"}}, "high.htm", "Constraint check failed: QTY"},
        {{{"QTY", "5"}, {"DAY", "13/1/96"}}, "date.htm", "Constraint check failed: DAY"},
        // A row the page never had is held to the field's constraints as well.
        {{{"QTY", "5"}, {"QTY___2", "11"}}, "high.htm", "Constraint check failed: QTY___2"},
        {{{"QTY", "5"}, {"DAY___3___2", "1/1/1996"}}, "date.htm", "Constraint check failed: DAY___3___2"},
    };
    for (const char* method : {"GET", "POST"}) {
        for (const auto& c : cases) {
            site.Remove("qvstat.log");
            GatewayRun r = SubmitTo(site, form, c.values, method);
            EXPECT_EQ(RedirectTarget(r), c.target) << method << " " << c.stats;
            std::string stats = site.StatsWithoutTimestamps();
            EXPECT_NE(stats.find(std::string(" ") + c.stats + "\n"), std::string::npos) << stats;
        }
    }
}

TEST(FormPageTest, FormWithoutActionOnlyChecks) {
    E2eSite site;
    site.Write("quorvel.cfg", kConfig);
    site.Write("t.htmx", "<HTML><FORM><INPUT NAME=A DATATYPE=(NUMBER,n.htm)></FORM>@A</HTML>");
    GatewayRun ok = site.Get("t.htmx", "_POST_PROCESS_=done.htm&A=4");
    EXPECT_EQ(ok.out, "Content-TYPE: text/html\nLocation: done.htm\n\n");
    GatewayRun bad = site.Get("t.htmx", "_POST_PROCESS_=done.htm&A=four");
    EXPECT_EQ(bad.out, "Content-TYPE: text/html\nLocation: n.htm\n\n");
}

}  // namespace
