// Submitted forms end to end, on SQLite and on PostgreSQL: a page request writes a form
// whose rows come from a DBRESULT, the test submits it the way a browser does (by GET and
// by POST), and then checks the redirect and the rows in the database itself.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "database/HOdbc.h"
#include "e2e/DbSite.h"
#include "e2e/E2eHarness.h"
#include "e2e/FormBrowser.h"
#include "e2e/PgServer.h"

using namespace quorvel;

namespace {

const std::vector<std::string> kItems = {
    "CREATE TABLE items (id INTEGER PRIMARY KEY, name VARCHAR(20), qty INTEGER CHECK (qty <> 13),"
    " note VARCHAR(40))",
    "INSERT INTO items VALUES (1, 'tea', 5, 'green')",
    "INSERT INTO items VALUES (2, 'mug', 3, 'blue')",
    "INSERT INTO items VALUES (3, 'pot', 1, 'red')",
};
const char kItemsBefore[] = "1|tea|5|green\n2|mug|3|blue\n3|pot|1|red\n";
const char kListItems[] = "SELECT id, name, qty, note FROM items ORDER BY id";

// One row per item: its id travels hidden, the quantity and the note can be edited.
const char kOrderPage[] =
    "<HTML><BODY>\n"
    "<SQL NAME=list TEXT=\"SELECT id, qty, note FROM items ORDER BY id\">\n"
    "<SQL NAME=save TEXT=\"UPDATE items SET qty = ?, note = '?' WHERE id = ?\" ERROR_URL=dberr.htm>\n"
    "<FORM SQLACTION=save ACTION=done.htm METHOD=POST PARAM=(@QTY,@NOTE,@ID)>\n"
    "<DBRESULT QUERY=list>\n"
    "<INPUT TYPE=HIDDEN NAME=ID VALUE=@id>\n"
    "<INPUT NAME=QTY VALUE=@qty DATATYPE=(NUMBER,num.htm) LOW_VALUE=(0,low.htm)"
    " HIGH_VALUE=(100,high.htm) MANDATORY=(TRUE,missing.htm)>\n"
    "<INPUT NAME=DUE DATATYPE=(DATE,date.htm)>\n"
    "<TEXTAREA NAME=NOTE>@note</TEXTAREA>\n"
    "</DBRESULT>\n"
    "</FORM></BODY></HTML>";

class FormRoundTrip : public ::testing::TestWithParam<DbKind> {
protected:
    void SetUp() override {
        std::string why;
        if (GetParam() == DbKind::kPostgres && !EnsurePostgres(why))
            FAIL() << why;
        QV_SKIP_WITHOUT_DB(GetParam());
        db = std::make_unique<DbSite>(GetParam());
        Site().Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"" + db->Connect() +
                                        "\" GREETING=hello");
    }

    E2eSite& Site() { return db->Site(); }

    void Exec(const std::string& sql) { db->Exec(sql); }
    void Exec(const std::vector<std::string>& statements) {
        for (const auto& sql : statements)
            db->Exec(sql);
    }
    std::string Query(const std::string& sql) { return db->Query(sql); }

    // The form `index` of the page `name` written by a page request with `query`.
    PageForm LoadForm(const std::string& name, const std::string& page, const std::string& query = "",
                      size_t index = 0) {
        Site().Write(name, page);
        auto env = db->Environment();
        env["SERVER_NAME"] = "127.0.0.1";
        env["SERVER_PORT"] = "80";
        GatewayRun r = Site().Get("/" + name, query, env);
        std::vector<PageForm> forms = ReadForms(r.out);
        EXPECT_GT(forms.size(), index) << r.out;
        return forms.size() > index ? forms[index] : PageForm();
    }

    GatewayRun Submit(const PageForm& form, const std::map<std::string, std::string>& values,
                      const std::string& method) {
        return SubmitTo(Site(), form, values, method, db->Environment());
    }
    std::string SubmitFor(const PageForm& form, const std::map<std::string, std::string>& values,
                          const std::string& method) {
        return RedirectTarget(Submit(form, values, method));
    }

    std::unique_ptr<DbSite> db;
};

TEST_P(FormRoundTrip, EveryRowOnceWithItsOwnValuesThenCommit) {
    Exec(kItems);
    PageForm form = LoadForm("order.htmx", kOrderPage, "id=7");
    EXPECT_EQ(form.Field("_MAX_NAME_MODIFIER_")->value, "___3");
    EXPECT_EQ(form.Names(), (std::vector<std::string>{
                                "ID", "QTY", "DUE", "NOTE", "ID___2", "QTY___2", "DUE___2", "NOTE___2",
                                "ID___3", "QTY___3", "DUE___3", "NOTE___3", "_POST_PROCESS_",
                                "_MAX_NAME_MODIFIER_"}));
    EXPECT_EQ(form.Field("NOTE___2")->value, "blue");
    for (const char* method : {"GET", "POST"}) {
        Exec("UPDATE items SET qty = 5, note = 'green' WHERE id = 1");
        // The DUE fields go back empty, as a browser sends untouched fields.
        GatewayRun r = Submit(form,
                                {{"QTY", "6"}, {"QTY___2", "7"}, {"NOTE___3", "O'Brien & co"},
                                 {"DUE___2", "12/31/96"}},
                                method);
        EXPECT_EQ(r.out, "Content-TYPE: text/html\nLocation: done.htm\n\n") << method;
        EXPECT_EQ(Query(kListItems), "1|tea|6|green\n2|mug|7|blue\n3|pot|1|O'Brien & co\n") << method;
    }
}

TEST_P(FormRoundTrip, NestedRowsRunInOdometerOrderAndOnlyRowsThatExisted) {
    Exec({"CREATE TABLE cats (id INTEGER PRIMARY KEY)",
          "CREATE TABLE goods (id INTEGER PRIMARY KEY, cat INTEGER)",
          "INSERT INTO cats VALUES (1)", "INSERT INTO cats VALUES (2)",
          "INSERT INTO goods VALUES (11, 1)", "INSERT INTO goods VALUES (12, 1)",
          "INSERT INTO goods VALUES (21, 2)", "INSERT INTO goods VALUES (22, 2)",
          "INSERT INTO goods VALUES (23, 2)",
          std::string("CREATE TABLE log (seq ") + (GetParam() == DbKind::kSqlite ? "INTEGER" : "SERIAL") +
              " PRIMARY KEY, cat INTEGER, good INTEGER, qty INTEGER)"});
    const char page[] =
        "<HTML><BODY>\n"
        "<SQL NAME=cats TEXT=\"SELECT id FROM cats ORDER BY id\">\n"
        "<SQL NAME=goods TEXT=\"SELECT id AS good FROM goods WHERE cat = ? ORDER BY id\">\n"
        "<SQL NAME=book TEXT=\"INSERT INTO log (cat, good, qty) VALUES (?, ?, ?)\">\n"
        "<FORM SQLACTION=book ACTION=done.htm PARAM=(@CAT,@GOOD,@QTY)>\n"
        "<DBRESULT QUERY=cats><INPUT TYPE=HIDDEN NAME=CAT VALUE=@id>\n"
        "<DBRESULT QUERY=goods PARAM=(@id)>"
        "<INPUT TYPE=HIDDEN NAME=GOOD VALUE=@good><INPUT NAME=QTY VALUE=0><INPUT TYPE=CHECKBOX NAME=GIFT>\n"
        "</DBRESULT></DBRESULT></FORM></BODY></HTML>";
    PageForm form = LoadForm("nested.htmx", page);
    EXPECT_EQ(form.Field("_MAX_NAME_MODIFIER_")->value, "___2___3");
    EXPECT_TRUE(form.Field("GOOD___1___2") && form.Field("GOOD___2___3") && form.Field("CAT___2"));
    EXPECT_FALSE(form.Field("GOOD___1___3"));
    // The odometer also turns to ___1___3, a row the first category never had: nothing runs
    // for it (it would repeat the first row's values).
    GatewayRun r = Submit(form,
                            {{"QTY", "1"}, {"QTY___1___2", "2"}, {"QTY___2___1", "3"}, {"QTY___2___2", "4"},
                             {"QTY___2___3", "5"}},
                            "POST");
    EXPECT_EQ(RedirectTarget(r), "done.htm") << r.out;
    EXPECT_EQ(Query("SELECT cat, good, qty FROM log ORDER BY seq"),
              "1|11|1\n1|12|2\n2|21|3\n2|22|4\n2|23|5\n");
}

// The shop's pages: a nested order form, a stock count per shop, and a cart whose rows are
// changed by one form and removed by another (one check box per row).
const char kNestedOrder[] =
    "<HTML><SQL NAME=cats TEXT=\"SELECT DISTINCT cat FROM products ORDER BY cat\">"
    "<SQL NAME=goods TEXT=\"SELECT id FROM products WHERE cat = ? ORDER BY id\">"
    "<SQL NAME=place TEXT=\"INSERT INTO orderlines (customer, email, product, qty) VALUES ('?', '?', ?, ?)\""
    " ERROR_URL=dberr.htm>"
    "<FORM SQLACTION=place ACTION=done.htm METHOD=POST PARAM=(@CUSTOMER,@EMAIL,@GOOD,\"@QTY\")>"
    "<INPUT NAME=CUSTOMER MANDATORY=(TRUE,missing.htm)><INPUT NAME=EMAIL>"
    "<DBRESULT QUERY=cats><INPUT TYPE=HIDDEN NAME=CAT VALUE=@cat><DBRESULT QUERY=goods PARAM=(@cat)>"
    "<INPUT TYPE=HIDDEN NAME=GOOD VALUE=@id><INPUT NAME=QTY VALUE=1 DATATYPE=(NUMBER,num.htm)>"
    "</DBRESULT></DBRESULT></FORM></HTML>";
const char kStockCount[] =
    "<HTML><SQL NAME=cats TEXT=\"SELECT DISTINCT cat FROM products ORDER BY cat\">"
    "<SQL NAME=goods TEXT=\"SELECT id FROM products WHERE cat = ? ORDER BY id\">"
    "<SQL NAME=count TEXT=\"UPDATE stock SET qty = ? WHERE good = ? AND shop = '?'\" ERROR_URL=dberr.htm>"
    "<FORM SQLACTION=count ACTION=done.htm METHOD=POST PARAM=(@QTY,@GOOD,@SHOP)>"
    "<INPUT TYPE=HIDDEN NAME=SHOP VALUE=a><DBRESULT QUERY=cats><DBRESULT QUERY=goods PARAM=(@cat)>"
    "<INPUT TYPE=HIDDEN NAME=GOOD VALUE=@id><INPUT NAME=QTY VALUE=7></DBRESULT></DBRESULT></FORM></HTML>";
const char kCart[] =
    "<HTML><SQL NAME=rows TEXT=\"SELECT id, qty FROM cart WHERE token = 't1' ORDER BY id\">"
    "<SQL NAME=save TEXT=\"UPDATE cart SET qty = ? WHERE id = ? AND token = '?'\" ERROR_URL=dberr.htm>"
    "<FORM SQLACTION=save ACTION=done.htm METHOD=POST PARAM=(@QTY,@ID,@TOKEN)>"
    "<INPUT NAME=TOKEN VALUE=t1 MANDATORY=(TRUE,missing.htm)><DBRESULT QUERY=rows>"
    "<INPUT TYPE=HIDDEN NAME=ID VALUE=@id><INPUT NAME=QTY VALUE=@qty></DBRESULT></FORM>"
    "<SQL NAME=drop TEXT=\"DELETE FROM cart WHERE id = ? AND token = '?'\" ERROR_URL=dberr.htm>"
    "<FORM SQLACTION=drop ACTION=done.htm METHOD=POST PARAM=(@REMOVE,@TOKEN)>"
    "<INPUT NAME=TOKEN VALUE=t1 MANDATORY=(TRUE,missing.htm)><DBRESULT QUERY=rows>"
    "<INPUT TYPE=CHECKBOX NAME=REMOVE VALUE=@id></DBRESULT></FORM></HTML>";

const char kFormPerLine[] =
    "<HTML><SQL NAME=rows TEXT=\"SELECT id, qty FROM cart WHERE token = 't1' ORDER BY id\">"
    "<SQL NAME=one TEXT=\"UPDATE cart SET qty = ? WHERE id = ? AND token = 't1'\" ERROR_URL=dberr.htm>"
    "<DBRESULT QUERY=rows><FORM SQLACTION=one ACTION=done.htm METHOD=POST PARAM=(@QTY,@ID)>"
    "<INPUT TYPE=HIDDEN NAME=ID VALUE=@id><INPUT NAME=QTY VALUE=@qty></FORM></DBRESULT></HTML>";

// An entry form: three blank rows, the source of the entries from the page's link.
const char kEntry[] =
    "<HTML><SQL NAME=slots TEXT=\"SELECT 1 AS n UNION ALL SELECT 2 UNION ALL SELECT 3\">"
    "<SQL NAME=add TEXT=\"INSERT INTO orderlines (customer, email, product, qty) VALUES ('?', '?', ?, ?)\""
    " ERROR_URL=dberr.htm><FORM SQLACTION=add ACTION=done.htm METHOD=POST PARAM=(@CUSTOMER,@SRC,@GOOD,@QTY)>"
    "<INPUT NAME=CUSTOMER><DBRESULT QUERY=slots><INPUT NAME=GOOD><INPUT NAME=QTY></DBRESULT></FORM></HTML>";

// Submissions as a browser sends them (and hand-made ones): every row the visitor sent is
// stored once, no other row, no other visitor's row is touched; a refusal leaves nothing.
TEST_P(FormRoundTrip, EveryRowSentStoredOnceAndNoOther) {
    Exec({"CREATE TABLE products (id INTEGER PRIMARY KEY, cat INTEGER)",
          "INSERT INTO products VALUES (11, 1)", "INSERT INTO products VALUES (12, 1)",
          "INSERT INTO products VALUES (13, 1)", "INSERT INTO products VALUES (21, 2)",
          "INSERT INTO products VALUES (22, 2)",
          std::string("CREATE TABLE orderlines (seq ") + (GetParam() == DbKind::kSqlite ? "INTEGER" : "SERIAL") +
              " PRIMARY KEY, customer VARCHAR(40), email VARCHAR(40), product INTEGER REFERENCES products(id),"
              " qty INTEGER)",
          "CREATE TABLE stock (shop VARCHAR(5), good INTEGER, qty INTEGER)",
          "CREATE TABLE cart (id INTEGER PRIMARY KEY, token VARCHAR(5), qty INTEGER)"});
    const char kLines[] = "SELECT customer, email, product, qty FROM orderlines ORDER BY seq";
    const char kStock[] = "SELECT shop, good, qty FROM stock ORDER BY shop, good";
    const char kCartRows[] = "SELECT id, token, qty FROM cart ORDER BY id";
    const char kCartBefore[] = "1|t1|1\n2|t1|2\n3|t1|1\n4|t2|5\n";
    const std::string kAnn = "Ann|ann@x.org|11|1\nAnn|ann@x.org|12|1\nAnn|ann@x.org|13|1\nAnn|ann@x.org|21|1\n"
                             "Ann|ann@x.org|22|1\n";
    const std::map<std::string, std::string> ann = {{"CUSTOMER", "Ann"}, {"EMAIL", "ann@x.org"}};
    auto with = [&](std::map<std::string, std::string> more) {
        more.insert(ann.begin(), ann.end());
        return more;
    };
    auto stored = [](const std::string& customer, const std::string& email) {
        std::string rows;
        for (const char* good : {"11", "12", "13", "21", "22"})
            rows += customer + "|" + email + "|" + good + "|1\n";
        return rows;
    };
    const struct {
        const char* what;
        const char* page;
        size_t form;
        std::map<std::string, std::string> values;
        const char* target;
        const char* query;
        std::string rows;
        const char* link = "";  // the page's query string, which its forms post back to
    } cases[] = {
        {"1 nested rows of 3 and 2: all five", kNestedOrder, 0, with({{"QTY___1___3", "5"}}), "done.htm", kLines,
         "Ann|ann@x.org|11|1\nAnn|ann@x.org|12|1\nAnn|ann@x.org|13|5\nAnn|ann@x.org|21|1\nAnn|ann@x.org|22|1\n"},
        {"2 only cups ticked", kCart, 1, {{"REMOVE___2", "on"}}, "done.htm", kCartRows,
         "1|t1|1\n3|t1|1\n4|t2|5\n"},
        {"2 nothing ticked", kCart, 1, {}, "done.htm", kCartRows, kCartBefore},
        {"2 saving quantities removes nothing", kCart, 0, {{"QTY", "3"}, {"QTY___3", "4"}}, "done.htm", kCartRows,
         "1|t1|3\n2|t1|2\n3|t1|4\n4|t2|5\n"},
        {"3 shared shop in outer row 2", kStockCount, 0, {}, "done.htm", kStock,
         "a|11|7\na|12|7\na|13|7\na|21|7\na|22|7\nb|11|0\nb|12|0\nb|13|0\nb|21|0\nb|22|0\n"},
        {"4 row 2 with its own customer and e-mail", kNestedOrder, 0,
         with({{"EMAIL___2", "not an address; <script>"}, {"CUSTOMER___2", "Mallory"}, {"CUSTOMER___2___1", "M"},
               {"CAT___2___1", "9"}}),
         "done.htm", kLines, kAnn},
        {"4 forged row with an empty token", kCart, 1,
         {{"REMOVE___4", "4"}, {"TOKEN___4", ""}, {"_MAX_NAME_MODIFIER_", "___4"}}, "done.htm", kCartRows, kCartBefore},
        {"5 unknown product", kNestedOrder, 0, with({{"GOOD___2___1", "999"}}), "dberr.htm", kLines, ""},
        {"5 negative product", kNestedOrder, 0, with({{"GOOD___1___3", "-7"}}), "dberr.htm", kLines, ""},
        {"a form in each line: the second", kFormPerLine, 1, {{"QTY___2", "9"}}, "done.htm", kCartRows,
         "1|t1|1\n2|t1|9\n3|t1|1\n4|t2|5\n"},
        {"mandatory token", kCart, 1, {{"TOKEN", ""}, {"REMOVE", "on"}}, "missing.htm", kCartRows, kCartBefore},
        // A posted form reads its fields from the body; the link keeps its other values.
        {"a link ticks rows of the other form", kCart, 0, {{"QTY", "3"}}, "done.htm", kCartRows,
         "1|t1|3\n2|t1|2\n3|t1|1\n4|t2|5\n", "REMOVE___2=2&REMOVE___3=3"},
        {"a link fills a field left empty", kNestedOrder, 0, {{"CUSTOMER", ""}}, "missing.htm", kLines, "",
         "CUSTOMER=Mallory"},
        {"entry rows 1 and 3 filled, 2 blank", kEntry, 0,
         {{"CUSTOMER", "Ann"}, {"GOOD", "11"}, {"QTY", "2"}, {"GOOD___3", "21"}, {"QTY___3", "1"}}, "done.htm", kLines,
         "Ann|web|11|2\nAnn|web|21|1\n", "SRC=web&GOOD___2=12&QTY___2=1"},
        {"entry row 2 half filled", kEntry, 0, {{"CUSTOMER", "Ann"}, {"GOOD", "11"}, {"QTY", "2"}, {"GOOD___2", "12"}},
         "dberr.htm", kLines, "", "SRC=web"},
        {"a posted target off the site", kCart, 0, {{"QTY", "3"}, {"_POST_PROCESS_", "/\\evil.example/"}}, "err.htm",
         kCartRows, kCartBefore},
        {"6 a name ending in a backslash", kNestedOrder, 0, {{"CUSTOMER", "Ann\\"}, {"EMAIL", "a@x.org"}},
         "done.htm", kLines, stored("Ann\\", "a@x.org")},
        {"6 a backslash before the closing quote", kNestedOrder, 0,
         {{"CUSTOMER", "\\"}, {"EMAIL", ", 'x', 11, 1) -- "}}, "done.htm", kLines, stored("\\", ", 'x', 11, 1) -- ")},
    };
    for (const auto& c : cases) {
        Exec({"DELETE FROM orderlines", "DELETE FROM stock", "DELETE FROM cart",
              "INSERT INTO cart VALUES (1, 't1', 1)", "INSERT INTO cart VALUES (2, 't1', 2)",
              "INSERT INTO cart VALUES (3, 't1', 1)", "INSERT INTO cart VALUES (4, 't2', 5)"});
        for (const char* shop : {"a", "b"})
            Exec(std::string("INSERT INTO stock SELECT '") + shop + "', id, 0 FROM products");
        PageForm form = LoadForm("page.htmx", c.page, c.link, c.form);
        EXPECT_EQ(SubmitFor(form, c.values, "POST"), c.target) << c.what;
        EXPECT_EQ(Query(c.query), c.rows) << c.what;
    }
    EXPECT_EQ(LoadForm("page.htmx", kNestedOrder).Field("_MAX_NAME_MODIFIER_")->value, "___2___3");
}

// How often the gateway ended a transaction with `completion` (0 commit, 1 rollback), by
// the driver manager's trace of the last request.
size_t Completions(const std::string& trace, int completion) {
    std::string line = "Completion Type = " + std::to_string(completion) + "\n";
    size_t n = 0;
    for (size_t p = trace.find(line); p != std::string::npos; p = trace.find(line, p + 1))
        ++n;
    return n;
}

// All rows of a form make one transaction: one commit, or one rollback and no commit.
TEST_P(FormRoundTrip, OneCommitOrOneRollbackPerForm) {
    Exec(kItems);
    // Traced from the start: a persistent gateway's driver manager reads this once.
    std::ofstream(db->Odbc().Dir() + "/odbcinst.ini", std::ios::app)
        << "\n[ODBC]\nTrace=Yes\nTraceFile=" << Site().Path("trace.log") << "\n";
    PageForm form = LoadForm("order.htmx", kOrderPage);
    Site().Write("idle.htmx", "<HTML></HTML>");
    // A persistent gateway gives the connection back after the response, with one rollback
    // more; that is in the trace once it has taken the next request.
    const bool persistent = Site().Mode() == GatewayMode::kFastCgi;
    auto trace = [&] {
        if (persistent)
            Site().Get("idle.htmx");
        std::string t = Site().Read("trace.log");
        Site().Remove("trace.log");
        return t;
    };
    trace();
    EXPECT_EQ(SubmitFor(form, {{"QTY", "6"}, {"QTY___3", "2"}}, "POST"), "done.htm");
    std::string committed = trace();
    EXPECT_NE(committed.find("Info Type = SQL_TXN_CAPABLE"), std::string::npos);
    EXPECT_EQ(Completions(committed, 0), 1u);
    EXPECT_EQ(Completions(committed, 1), persistent ? 1u : 0u);
    EXPECT_EQ(Query(kListItems), "1|tea|6|green\n2|mug|3|blue\n3|pot|2|red\n");

    EXPECT_EQ(SubmitFor(form, {{"QTY", "7"}, {"QTY___3", "13"}}, "POST"), "dberr.htm");
    std::string undone = trace();
    EXPECT_EQ(Completions(undone, 0), 0u);
    EXPECT_EQ(Completions(undone, 1), persistent ? 2u : 1u);
    EXPECT_EQ(Query(kListItems), "1|tea|6|green\n2|mug|3|blue\n3|pot|2|red\n");
}

// A row's field the browser does not send (an unchecked check box) is not the first row's.
TEST_P(FormRoundTrip, RowsNeverBorrowTheFirstRowsValues) {
    Exec(kItems);
    const char page[] =
        "<HTML><SQL NAME=list TEXT=\"SELECT id FROM items ORDER BY id\">"
        "<SQL NAME=mark TEXT=\"UPDATE items SET note = '?' WHERE id = ?\" TRIM=FALSE ERROR_URL=dberr.htm>"
        "<FORM SQLACTION=mark ACTION=done.htm PARAM=(@GIFT,@ID)><DBRESULT QUERY=list>"
        "<INPUT TYPE=HIDDEN NAME=ID VALUE=@id><INPUT TYPE=CHECKBOX NAME=GIFT VALUE=gift CHECKED>"
        "</DBRESULT></FORM></HTML>";
    PageForm form = LoadForm("gift.htmx", page);
    EXPECT_EQ(SubmitFor(form, {{"GIFT___2", ""}}, "POST"), "dberr.htm");
    EXPECT_EQ(Query(kListItems), kItemsBefore);
    EXPECT_EQ(SubmitFor(form, {}, "POST"), "done.htm");
    EXPECT_EQ(Query("SELECT note FROM items ORDER BY id"), "gift\ngift\ngift\n");
}

TEST_P(FormRoundTrip, FailureInALaterRowLeavesNothingOfTheForm) {
    Exec(kItems);
    PageForm form = LoadForm("order.htmx", kOrderPage);
    const struct {
        const char* what;
        std::map<std::string, std::string> values;
        const char* target;
        const char* stats;
    } cases[] = {
        {"database refuses row 2", {{"QTY", "6"}, {"QTY___2", "13"}}, "dberr.htm",
         "Syntax or semantic error in SQL statement: save"},
        {"substitution refuses row 3", {{"QTY", "6"}, {"ID___3", "3 OR 1=1"}}, "dberr.htm",
         "Syntax or semantic error in SQL statement: save"},
        {"a name for the id, in row 1 and row 2", {{"ID", "id"}, {"ID___2", "id"}}, "dberr.htm",
         "Syntax or semantic error in SQL statement: save"},
        {"empty value in row 2", {{"QTY", "6"}, {"NOTE___2", ""}}, "dberr.htm",
         "Parameter to SQL statement is not defined: save"},
        {"constraint in row 2", {{"QTY", "6"}, {"QTY___2", "x"}}, "num.htm", "Constraint check failed: QTY___2"},
        {"constraint in row 3", {{"QTY", "6"}, {"QTY___3", "-1"}}, "low.htm", "Constraint check failed: QTY___3"},
        {"constraint in row 1", {{"QTY", "101"}}, "high.htm", "Constraint check failed: QTY"},
        {"mandatory row 1", {{"QTY", ""}}, "missing.htm", "Constraint check failed: QTY"},
        {"date in row 2", {{"QTY", "6"}, {"DUE___2", "2/30/1996"}}, "date.htm", "Constraint check failed: DUE___2"},
    };
    for (const char* method : {"GET", "POST"}) {
        for (const auto& c : cases) {
            Site().Remove("qvstat.log");
            GatewayRun r = Submit(form, c.values, method);
            EXPECT_EQ(RedirectTarget(r), c.target) << method << ": " << c.what;
            EXPECT_NE(Site().StatsWithoutTimestamps().find(std::string(" ") + c.stats + "\n"), std::string::npos)
                << method << ": " << c.what << "\n" << Site().StatsWithoutTimestamps();
            EXPECT_EQ(Query(kListItems), kItemsBefore) << method << ": " << c.what;
        }
    }
    // An action of two statements whose second one breaks: the first is undone too.
    const char broken[] =
        "<HTML><SQL NAME=two TEXT=\"UPDATE items SET qty = ? WHERE id = 1; UPDATE nosuch SET x = 1\">"
        "<FORM SQLACTION=two ACTION=done.htm PARAM=(@QTY)><INPUT NAME=QTY></FORM></HTML>";
    PageForm two = LoadForm("broken.htmx", broken);
    EXPECT_EQ(RedirectTarget(Submit(two, {{"QTY", "9"}}, "POST")), "err.htm");
    EXPECT_EQ(Query(kListItems), kItemsBefore);
    // A name as the value would make the condition `id = id`, true for every row.
    const char remove[] = "<HTML><SQL NAME=del TEXT=\"DELETE FROM items WHERE id = ?\" ERROR_URL=dberr.htm>"
                          "<FORM SQLACTION=del ACTION=done.htm PARAM=(@ID)><INPUT NAME=ID></FORM></HTML>";
    EXPECT_EQ(RedirectTarget(Submit(LoadForm("del.htmx", remove), {{"ID", "id"}}, "POST")), "dberr.htm");
    EXPECT_EQ(Query(kListItems), kItemsBefore);
}

TEST_P(FormRoundTrip, ValidationProgramDecidesBeforeTheDatabase) {
    Exec(kItems);
    auto page = [](const std::string& validation) {
        return "<HTML><SQL NAME=set TEXT=\"UPDATE items SET qty = ? WHERE id = 1\">"
               "<FORM SQLACTION=set ACTION=done.htm PARAM=(@QTY) VALIDATION=" + validation +
               "><INPUT NAME=QTY><INPUT NAME=ANSWER></FORM></HTML>";
    };
    const struct {
        std::string validation;
        const char* answer;
        const char* target;
        const char* qty;
    } cases[] = {
        {"(\"\",\"printf @ANSWER\",OK,invalid.htm)", "OK", "done.htm", "8"},
        {"(\"\",\"printf @ANSWER\",OK,invalid.htm)", "ok", "invalid.htm", "5"},
        {"(\"\",\"printf @ANSWER\",OK,invalid.htm)", "OK;touch hacked", "done.htm", "8"},
        {"(\"\",true,OK,invalid.htm)", "OK", "err.htm", "5"},
        {"(\"\",\"printf OK\",OK)", "OK", "err.htm", "5"},
    };
    for (const auto& c : cases) {
        Exec("UPDATE items SET qty = 5 WHERE id = 1");
        PageForm form = LoadForm("v.htmx", page(c.validation));
        GatewayRun r = Submit(form, {{"QTY", "8"}, {"ANSWER", c.answer}}, "POST");
        EXPECT_EQ(RedirectTarget(r), c.target) << c.validation << " " << c.answer;
        EXPECT_EQ(Query("SELECT qty FROM items WHERE id = 1"), std::string(c.qty) + "\n")
            << c.validation << " " << c.answer;
    }
    EXPECT_FALSE(Site().Exists("hacked"));
}

TEST_P(FormRoundTrip, EachFormItsOwnTransactionInDocumentOrder) {
    Exec(kItems);
    Exec("CREATE TABLE notes (txt VARCHAR(20) CHECK (txt <> 'fail'))");
    const char page[] =
        "<HTML><SQL NAME=add TEXT=\"INSERT INTO notes VALUES ('?')\">"
        "<FORM SQLACTION=add ACTION=done.htm PARAM=(@A)><INPUT NAME=A></FORM>"
        "<SQL NAME=set TEXT=\"UPDATE items SET qty = ? WHERE id = 1\">"
        "<FORM SQLACTION=set ACTION=done.htm PARAM=(@B)><INPUT NAME=B></FORM></HTML>";
    PageForm first = LoadForm("two.htmx", page, "", 0);
    PageForm second = LoadForm("two.htmx", page, "", 1);
    // Whichever form was submitted, both run: the first commits before the second starts,
    // so a failure of the second keeps the first.
    EXPECT_EQ(RedirectTarget(Submit(first, {{"A", "one"}, {"B", "13"}}, "POST")), "err.htm");
    EXPECT_EQ(Query("SELECT txt FROM notes"), "one\n");
    EXPECT_EQ(Query("SELECT qty FROM items WHERE id = 1"), "5\n");
    EXPECT_EQ(RedirectTarget(Submit(second, {{"A", "two"}, {"B", "7"}}, "GET")), "done.htm");
    EXPECT_EQ(Query("SELECT txt FROM notes ORDER BY txt"), "one\ntwo\n");
    EXPECT_EQ(Query("SELECT qty FROM items WHERE id = 1"), "7\n");
    // A failing first form stops the request before the second runs.
    EXPECT_EQ(RedirectTarget(Submit(first, {{"A", "fail"}, {"B", "9"}}, "POST")), "err.htm");
    EXPECT_EQ(Query("SELECT txt FROM notes ORDER BY txt"), "one\ntwo\n");
    EXPECT_EQ(Query("SELECT qty FROM items WHERE id = 1"), "7\n");
}

TEST_P(FormRoundTrip, MissingActionMissingRowsAndHostileRows) {
    Exec(kItems);
    Exec("CREATE TABLE notes (txt VARCHAR(20))");
    const char add[] =
        "<HTML><SQL NAME=add TEXT=\"INSERT INTO notes VALUES ('?')\">"
        "<FORM SQLACTION=add ACTION=done.htm PARAM=(@A)><INPUT NAME=A></FORM></HTML>";
    PageForm form = LoadForm("add.htmx", add);

    // Without _MAX_NAME_MODIFIER_ nothing runs, and the request still succeeds.
    PageForm withoutRows = form;
    withoutRows.fields.pop_back();
    EXPECT_EQ(RedirectTarget(Submit(withoutRows, {{"A", "x"}}, "GET")), "done.htm");
    EXPECT_EQ(Query("SELECT count(*) FROM notes"), "0\n");

    // A maximum no page can have is refused before anything runs, and quickly.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "___1";
    for (const std::string& hostile : {deep, std::string("___999999999"), std::string("___2___100___100")}) {
        Site().Remove("qvstat.log");
        GatewayRun r = Submit(form, {{"A", "x"}, {"_MAX_NAME_MODIFIER_", hostile}}, "POST");
        EXPECT_EQ(RedirectTarget(r), "err.htm") << hostile.substr(0, 20);
        EXPECT_NE(Site().StatsWithoutTimestamps().find(" Syntax error in query string specified in URL: "
                                                     "_MAX_NAME_MODIFIER_="),
                  std::string::npos)
            << Site().StatsWithoutTimestamps().substr(0, 300);
    }
    // Rows that no field came back for run nothing: a forged ___3 does not insert three times.
    EXPECT_EQ(RedirectTarget(Submit(form, {{"A", "once"}, {"_MAX_NAME_MODIFIER_", "___3"}}, "GET")),
              "done.htm");
    EXPECT_EQ(Query("SELECT txt FROM notes"), "once\n");

    // SQLACTION naming a configuration variable, or an action defined after the form.
    for (const char* page :
         {"<HTML><FORM SQLACTION=GREETING ACTION=done.htm><INPUT NAME=A></FORM></HTML>",
          "<HTML><FORM SQLACTION=late ACTION=done.htm><INPUT NAME=A></FORM>"
          "<SQL NAME=late TEXT=\"INSERT INTO notes VALUES ('late')\"></HTML>"}) {
        Site().Remove("qvstat.log");
        PageForm f = LoadForm("undefined.htmx", page);
        EXPECT_EQ(RedirectTarget(Submit(f, {{"A", "x"}}, "GET")), "err.htm") << page;
        EXPECT_NE(Site().StatsWithoutTimestamps().find(" SQLAction is not defined: "), std::string::npos);
    }
    EXPECT_EQ(Query("SELECT txt FROM notes"), "once\n");
}

TEST_P(FormRoundTrip, AbsoluteRedirectCarriesTheQueryWithoutHiddenFields) {
    Exec(kItems);
    std::string page = kOrderPage;
    page.replace(page.find("ACTION=done.htm"), 15, "ACTION=\"http://127.0.0.1/done.htm\"");
    PageForm form = LoadForm("order.htmx", page, "id=7");
    Submission get = ::Submit(form, {{"QTY", "6"}}, "GET");
    GatewayRun r = Submit(form, {{"QTY", "6"}}, "GET");
    std::string query = get.env["QUERY_STRING"];
    query = query.substr(0, query.find("&_POST_PROCESS_"));
    EXPECT_EQ(RedirectTarget(r), "http://127.0.0.1/done.htm?" + query);
    EXPECT_EQ(query.find("_MAX_NAME_MODIFIER_"), std::string::npos);
    // A POST keeps the target's own query string; the fields came in the body.
    EXPECT_EQ(RedirectTarget(Submit(form, {{"QTY", "6"}}, "POST")), "http://127.0.0.1/done.htm?id=7");
    EXPECT_EQ(Query("SELECT qty FROM items WHERE id = 1"), "6\n");
}

// Both drivers offer transactions (both answer SQL_TC_ALL, 2); a driver answering
// SQL_TC_NONE (0) would leave every row committed as it runs.
TEST_P(FormRoundTrip, DriverReportsTransactionSupport) {
    unsigned short capability = 99;
    EXPECT_TRUE(OdbcSucceeded(OdbcGetTxnCapable(db->Connection(), capability)));
    RecordProperty("SQL_TXN_CAPABLE", capability);
    EXPECT_EQ(capability, GetParam() == DbKind::kMariadb ? 3 : 2);  // MariaDB: DDL commits
}

INSTANTIATE_TEST_SUITE_P(Databases, FormRoundTrip, ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         [](const ::testing::TestParamInfo<DbKind>& info) {
                             return std::string(info.param == DbKind::kSqlite ? "sqlite" : info.param == DbKind::kPostgres ? "postgres" : "mariadb");
                         });

// A commit the database refuses must not redirect to the success page. (SQLite checks its
// constraints statement by statement, so only PostgreSQL can refuse a commit.)
TEST(FormRoundTripPostgres, RefusedCommitIsAFailure) {
    std::string why;
    ASSERT_TRUE(EnsurePostgres(why)) << why;
    DbSite db(DbKind::kPostgres);
    db.Exec("CREATE TABLE once (k INTEGER UNIQUE DEFERRABLE INITIALLY DEFERRED)");
    db.Site().Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"" + db.Connect() + "\"");
    db.Site().Write("c.htmx",
                    "<HTML><SQL NAME=put TEXT=\"INSERT INTO once VALUES (?)\" ERROR_URL=dberr.htm>"
                    "<FORM SQLACTION=put ACTION=done.htm PARAM=(@K)><DBRESULT QUERY=rows><INPUT NAME=K></DBRESULT>"
                    "</FORM></HTML>");
    GatewayRun r = db.Get("/c.htmx", "_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___2&K=1&K___2=1");
    EXPECT_EQ(RedirectTarget(r), "dberr.htm");
    EXPECT_EQ(db.Query("SELECT count(*) FROM once"), "0\n");
    r = db.Get("/c.htmx", "_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___2&K=1&K___2=2");
    EXPECT_EQ(RedirectTarget(r), "done.htm");
    EXPECT_EQ(db.Query("SELECT k FROM once ORDER BY k"), "1\n2\n");
}

}  // namespace
