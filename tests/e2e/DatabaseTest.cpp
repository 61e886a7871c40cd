// Whole page requests against real databases: every case runs on SQLite, on PostgreSQL
// (when scripts/pg-start's QV_PG_DSN is set; with QV_REQUIRE_PG=1 its absence fails the
// PostgreSQL cases instead of skipping them) and on MariaDB (likewise QV_MARIADB_DSN from
// scripts/mariadb-start and QV_REQUIRE_MARIADB).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

#include "e2e/DbSite.h"

namespace {

const std::string kPage = "Content-TYPE: text/html\n\n";

std::string Redirect(const std::string& url) { return "Content-TYPE: text/html\nLocation: " + url + "\n\n"; }

class DatabaseTest : public ::testing::TestWithParam<DbKind> {
protected:
    void SetUp() override {
        QV_SKIP_WITHOUT_DB(GetParam());
        db_ = std::make_unique<DbSite>(GetParam());
        db_->LoadSampleData();
    }

    // Writes quorvel.cfg (with the shared connect string first) and t.htmx, and runs it.
    GatewayRun Page(const std::string& page, const std::string& config = "",
                    const std::string& query = "") {
        db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + db_->Connect() + "\"\n" + config);
        db_->Site().Write("t.htmx", page);
        return db_->Get("t.htmx", query);
    }

    // The statistics record of the last request, without its time stamp.
    std::string LastRecord() {
        std::string all = db_->Site().StatsWithoutTimestamps();
        if (!all.empty() && all.back() == '\n')
            all.pop_back();
        return all.substr(all.rfind('\n') + 1);
    }

    std::unique_ptr<DbSite> db_;
};

TEST_P(DatabaseTest, RowsWithEscapingAndNulls) {
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id, name, note FROM items ORDER BY id\">"
                        "<DBRESULT QUERY=q>[@ID:@name:@Note]</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>[1:Apple:red][2:Banana &#60;b&#62;:]"
                             "[3:Cherry:dark &#38; sweet][4:Date:]</HTML>");
    // A NULL in the first row, and after a value in the same column.
    r = Page("<HTML><SQL NAME=q TEXT=\"SELECT note FROM items ORDER BY id DESC\">"
             "<DBRESULT QUERY=q>[@note]</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>[][dark &#38; sweet][][red]</HTML>");
}

// Another process changes a table between requests: the next page sees it as it is now.
TEST_P(DatabaseTest, TableChangedBetweenRequests) {
    const std::string page = "<HTML><SQL NAME=q TEXT=\"SELECT * FROM changing\"><DBRESULT QUERY=q>%s</DBRESULT></HTML>";
    auto with = [&](const std::string& row) { return std::string(page).replace(page.find("%s"), 2, row); };
    // SQLite in write-ahead-log mode writes the changes beside the database file.
    for (bool wal : {false, true}) {
        if (wal && GetParam() != DbKind::kSqlite)
            break;
        if (wal)
            db_->Exec("PRAGMA journal_mode=WAL");
        db_->Exec("DROP TABLE IF EXISTS changing");
        db_->Exec("CREATE TABLE changing (a INTEGER)");
        db_->Exec("INSERT INTO changing VALUES (1)");
        EXPECT_EQ(Page(with("[@a]")).out, kPage + "<HTML>[1]</HTML>");
        db_->Exec("ALTER TABLE changing ADD COLUMN b VARCHAR(5)");
        db_->Exec("UPDATE changing SET b = 'x'");
        EXPECT_EQ(Page(with("[@a:@b]")).out, kPage + "<HTML>[1:x]</HTML>");
        db_->Exec("DROP TABLE changing");
        db_->Exec("CREATE TABLE changing (b VARCHAR(10), a VARCHAR(10))");
        db_->Exec("INSERT INTO changing VALUES ('now', 'text')");
        EXPECT_EQ(Page(with("[@a:@b]")).out, kPage + "<HTML>[text:now]</HTML>");
    }
}

TEST_P(DatabaseTest, NestedResultsHideOuterColumnsOfTheSameName) {
    GatewayRun r = Page(
        "<HTML><SQL NAME=c TEXT=\"SELECT id, title FROM categories WHERE id < 3 ORDER BY id\">"
        "<SQL NAME=i TEXT=\"SELECT id, name FROM items WHERE category = ? ORDER BY id\">"
        "<DBRESULT QUERY=c>{@title:<DBRESULT QUERY=i PARAM=(@ID)>(@id @TITLE)</DBRESULT>@id}"
        "</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>{Fruit:(1 Fruit)(2 Fruit)1}{Stone:(3 Stone)(4 Stone)2}</HTML>");
}

TEST_P(DatabaseTest, MaxRows) {
    const std::string sql = "<HTML><SQL NAME=q TEXT=\"SELECT x FROM big ORDER BY x\">";
    GatewayRun r = Page(sql + "<DBRESULT QUERY=q MAXROWS=3>@x,</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>1,2,3,</HTML>");
    r = Page(sql + "<DBRESULT QUERY=q>@x,</DBRESULT></HTML>");
    std::string hundred;
    for (int i = 1; i <= 100; ++i)
        hundred += std::to_string(i) + ",";
    EXPECT_EQ(r.out, kPage + "<HTML>" + hundred + "</HTML>");

    for (const char* good : {"\" 7\"", "+7", "100"}) {
        r = Page(sql + "<DBRESULT QUERY=q MAXROWS=" + good + ">.</DBRESULT></HTML>");
        EXPECT_EQ(r.out.substr(0, kPage.size()), kPage) << good;
    }
    for (const char* bad : {"101", "0", "-5", "\"10 \"", "1e2", "\"\"", "x"}) {
        r = Page(sql + "<DBRESULT QUERY=q MAXROWS=" + bad + ">.</DBRESULT></HTML>", "_ERR_URL_=err.htm");
        EXPECT_EQ(r.out, Redirect("err.htm")) << bad;
        EXPECT_EQ(LastRecord().substr(0, 41), "t.htmx Illegal value in MAXROWS attribute") << bad;
    }
}

TEST_P(DatabaseTest, NoDataFound) {
    const std::string none = "SELECT id FROM items WHERE id > 100";
    GatewayRun r = Page("<HTML>a<SQL NAME=q TEXT=\"" + none + "\"><DBRESULT QUERY=q>x</DBRESULT>b</HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>ab</HTML>");
    r = Page("<HTML><SQL NAME=q TEXT=\"" + none + "\" NO_DATA_FOUND_URL=@ND>"
             "<DBRESULT QUERY=q>x</DBRESULT></HTML>",
             "_DEBUG_=TRUE ND=\"nodata.htm?k=1\"");
    EXPECT_EQ(r.out, Redirect("nodata.htm?k=1"));
    EXPECT_EQ(LastRecord(), "t.htmx No data found: q");
    EXPECT_NE(db_->Site().Read("quorvel.log").find("<!-- No data found: q -->"), std::string::npos);
    // A NO_DATA_FOUND_URL that evaluates to nothing leaves the empty result alone.
    r = Page("<HTML><SQL NAME=q TEXT=\"" + none + "\" NO_DATA_FOUND_URL=@ND>"
             "<DBRESULT QUERY=q>x</DBRESULT>.</HTML>",
             "ND=\"\"");
    EXPECT_EQ(r.out, kPage + "<HTML>.</HTML>");
}

TEST_P(DatabaseTest, IntoNames) {
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id, name, note, category FROM items ORDER BY id\""
                        " INTO=(A, B, C)><DBRESULT QUERY=q MAXROWS=2>[@a @B @c]</DBRESULT>"
                        "<DBRESULT QUERY=q MAXROWS=1>[@A]</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>[1 Apple red][2 Banana &#60;b&#62; ][1]</HTML>");
    r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id FROM items\" INTO=ONLY><DBRESULT QUERY=q MAXROWS=1>"
             "@only</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>1</HTML>");
    r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id, name FROM items\" INTO=(A,B,C) ERROR_URL=bad.htm>"
             "<DBRESULT QUERY=q>x</DBRESULT></HTML>");
    EXPECT_EQ(r.out, Redirect("bad.htm"));
    EXPECT_EQ(LastRecord(), "t.htmx Too many into variables for SQL query: q");
}

TEST_P(DatabaseTest, ColumnWidth) {
    db_->Exec("CREATE TABLE wide (v VARCHAR(2000))");
    db_->Exec("INSERT INTO wide VALUES ('" + std::string(40, 'a') + std::string(1960, 'b') + "')");
    const std::string page = "<HTML><SQL NAME=q TEXT=\"SELECT v FROM wide\"><DBRESULT QUERY=q>@v</DBRESULT></HTML>";
    GatewayRun r = Page(page, "_MAX_COLUMN_WIDTH_=10");
    EXPECT_EQ(r.out, kPage + "<HTML>aaaaaaaaa</HTML>");
    r = Page(page);
    EXPECT_EQ(r.out, kPage + "<HTML>" + std::string(40, 'a') + std::string(983, 'b') + "</HTML>");
}

TEST_P(DatabaseTest, ValuesLongerThanTheReportedPrecisionStayWhole) {
    // Each driver reports a precision far below these values' length.
    std::string expected = "{1";
    for (int i = 2; i <= 40; ++i)
        expected += "," + std::to_string(i);
    expected += "}";
    if (db_->Kind() == DbKind::kSqlite) {
        db_->Exec("CREATE TABLE odd (v VARCHAR(5))");  // SQLite keeps longer values
        db_->Exec("INSERT INTO odd VALUES ('" + expected + "')");
    } else if (db_->Kind() == DbKind::kMariadb) {
        expected = "-999.99";  // 5 digits wide, and a sign and a point more
        db_->Exec("CREATE TABLE odd (v DECIMAL(5, 2))");
        db_->Exec("INSERT INTO odd VALUES (" + expected + ")");
    } else {
        db_->Exec("CREATE TABLE odd (v INTEGER[])");  // reported as 5 characters wide
        db_->Exec("INSERT INTO odd VALUES ('" + expected + "')");
    }
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT v FROM odd\"><DBRESULT QUERY=q>@v</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>" + expected + "</HTML>");
}

TEST_P(DatabaseTest, MegabyteValueIsCutToTheWidth) {
    db_->Exec(db_->Kind() == DbKind::kMariadb ? "CREATE TABLE huge (v LONGTEXT)" : "CREATE TABLE huge (v TEXT)");
    db_->Exec("INSERT INTO huge VALUES ('" + std::string(1 << 20, 'm') + "')");
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT v, v AS w FROM huge\"><DBRESULT QUERY=q>@v|@w"
                        "</DBRESULT></HTML>", "_MAX_COLUMN_WIDTH_=100");
    EXPECT_EQ(r.out, kPage + "<HTML>" + std::string(99, 'm') + "|" + std::string(99, 'm') + "</HTML>");
}

TEST_P(DatabaseTest, HundredThousandRowsStopAtMaxRows) {
    db_->Exec("CREATE TABLE digits (d INTEGER)");
    db_->Exec("INSERT INTO digits VALUES (0), (1), (2), (3), (4), (5), (6), (7), (8), (9)");
    db_->Exec("CREATE TABLE many AS SELECT a.d + 10 * b.d + 100 * c.d + 1000 * e.d + 10000 * f.d + 1 AS x "
              "FROM digits a, digits b, digits c, digits e, digits f");
    auto start = std::chrono::steady_clock::now();
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT x FROM many ORDER BY x\">"
                        "<DBRESULT QUERY=q MAXROWS=2>row @x;</DBRESULT></HTML>");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.out, kPage + "<HTML>row 1;row 2;</HTML>");
    EXPECT_LT(seconds, 20.0);
}

TEST_P(DatabaseTest, QueryRedefinedInsideItsOwnBody) {
    GatewayRun r = Page(
        "<HTML><SQL NAME=q TEXT=\"SELECT id FROM categories WHERE id < 3 ORDER BY id\">"
        "<DBRESULT QUERY=q>[@id<SQL NAME=q TEXT=\"SELECT name FROM items WHERE category = @id ORDER BY id\">"
        "<DBRESULT QUERY=q>(@name)</DBRESULT>]</DBRESULT><DBRESULT QUERY=q>{@name}</DBRESULT></HTML>");
    EXPECT_EQ(r.out, kPage + "<HTML>[1(Apple)(Banana &#60;b&#62;)][2(Cherry)(Date)]{Cherry}{Date}</HTML>");
}

TEST_P(DatabaseTest, ParametersAndTrimming) {
    const std::string sql = "<HTML><SQL NAME=q TEXT=\"SELECT id FROM items WHERE category = ? AND name = '?'"
                            " ORDER BY id\"%s><DBRESULT QUERY=q PARAM=(@C, @N)>@id,</DBRESULT></HTML>";
    auto page = [&](const std::string& extra) {
        std::string p = sql;
        return p.replace(p.find("%s"), 2, extra);
    };
    EXPECT_EQ(Page(page(""), "", "C=1").out, kPage + "<HTML>1,2,</HTML>");
    EXPECT_EQ(Page(page(""), "", "N=Cherry").out, kPage + "<HTML>3,</HTML>");
    EXPECT_EQ(Page(page(""), "", "C=2&N=Date").out, kPage + "<HTML>4,</HTML>");
    EXPECT_EQ(Page(page(""), "", "").out, kPage + "<HTML>1,2,3,4,</HTML>");
    // A quote in a value stays inside its literal, with a backslash before it too.
    EXPECT_EQ(Page(page(""), "", "N=x'+OR+'1'='1").out, kPage + "<HTML></HTML>");
    EXPECT_EQ(Page(page(""), "", "N=%5C'+OR+1=1+--+").out, kPage + "<HTML></HTML>");

    // Without trimming an undefined variable is an error with the operation's page.
    GatewayRun r = Page(page(" TRIM=false ERROR_URL=oops.htm"), "", "C=1");
    EXPECT_EQ(r.out, Redirect("oops.htm"));
    EXPECT_EQ(LastRecord(), "t.htmx?C=1 Variable is not defined: N");
    // A value that would change the statement outside a literal.
    r = Page(page(" ERROR_URL=oops.htm"), "", "C=1+OR+1=1");
    EXPECT_EQ(r.out, Redirect("oops.htm"));
    EXPECT_EQ(LastRecord(), "t.htmx?C=1+OR+1=1 Syntax or semantic error in SQL statement: q");
}

// A reference inside TEXT, by origin: the author's value is SQL, data is substituted by the
// rules of the place it lands (quotes doubled in a literal, and backslashes where the session
// reads them as escapes; else a number or a sort key). Each row runs on the database's usual
// sessions and on sessions that read backslashes the other way round.
TEST_P(DatabaseTest, ReferencesInSqlTextByOrigin) {
    const struct {
        const char* what;
        const char* config;
        const char* text;
        const char* query;
        const char* expected;  // the rows' ids, or the error page
    } rows[] = {
        {"request value in a literal", "", "SELECT id FROM items WHERE name = '@N' ORDER BY id",
         "N=x'+OR+'1'='1", ""},
        {"request value with a quote finds its row", "", "SELECT id FROM items WHERE name = '@N'",
         "N=Banana+%3Cb%3E", "2,"},
        {"request value with a backslash and a quote in a literal", "",
         "SELECT id FROM items WHERE name = '@N' ORDER BY id", "N=%5C'+OR+1=1+--+", ""},
        {"request value ending in a backslash finds its row", "", "SELECT id FROM items WHERE note = '@N'",
         "N=back%5C", "4,"},
        {"request number outside a literal", "", "SELECT id FROM items WHERE id = @K", "K=3", "3,"},
        {"request condition outside a literal", "", "SELECT id FROM items WHERE id = @K", "K=1+OR+1=1",
         "oops.htm"},
        {"request number ending in a point", "", "SELECT id FROM items WHERE id < @K ORDER BY id", "K=3.", "1,2,"},
        {"request number starting with a point", "", "SELECT id FROM items WHERE id > @K ORDER BY id", "K=.5",
         "1,2,3,4,"},
        {"request value with two points", "", "SELECT id FROM items WHERE id < @K", "K=1.2.3", "oops.htm"},
        {"request point alone", "", "SELECT id FROM items WHERE id < @K", "K=.", "oops.htm"},
        {"request sign and point", "", "SELECT id FROM items WHERE id < @K", "K=-.", "oops.htm"},
        {"request number and a word", "", "SELECT id FROM items WHERE id < @K", "K=1e5x", "oops.htm"},
        {"request name outside a sort list", "", "SELECT id FROM items WHERE id = @K", "K=id", "oops.htm"},
        {"request sort key", "", "SELECT id FROM items ORDER BY @SORT", "SORT=name+DESC", "4,3,2,1,"},
        {"request sort expression", "", "SELECT id FROM items ORDER BY @SORT", "SORT=(SELECT+1)",
         "oops.htm"},
        {"author's SQL from the configuration", "COND=\"id < 3\"",
         "SELECT id FROM items WHERE @COND ORDER BY id", "", "1,2,"},
        {"author's value overridden by the request", "COND=\"id < 3\"",
         "SELECT id FROM items WHERE @COND ORDER BY id", "COND=1=1", "oops.htm"},
        {"_RAW_REQUEST_VALUES_ splices request values", "_RAW_REQUEST_VALUES_=TRUE",
         "SELECT id FROM items WHERE id = @K ORDER BY id", "K=1+OR+1=1", "1,2,3,4,"},
    };
    db_->Exec(db_->Kind() == DbKind::kMariadb ? "UPDATE items SET note = 'back\\\\' WHERE id = 4"
                                              : "UPDATE items SET note = 'back\\' WHERE id = 4");
    for (const std::string& connect : {db_->Connect(), db_->OtherBackslashRule()}) {
        for (const auto& row : rows) {
            if (connect.empty())
                continue;
            db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + connect + "\"\n" + row.config);
            db_->Site().Write("t.htmx", std::string("<HTML><SQL NAME=q TEXT=\"") + row.text +
                                            "\" ERROR_URL=oops.htm><DBRESULT QUERY=q>@id,</DBRESULT></HTML>");
            GatewayRun r = db_->Get("t.htmx", row.query);
            std::string expected = row.expected;
            EXPECT_EQ(r.out, expected == "oops.htm" ? Redirect(expected) : kPage + "<HTML>" + expected + "</HTML>")
                << row.what << " " << connect;
        }
    }
    // A result column is data in a nested query's TEXT, whatever the configuration says:
    // `Banana <b>` is searched as it is stored, and its quote cannot leave the literal.
    db_->Exec("INSERT INTO items VALUES (5, 'it''s', 2, 'x')");
    for (const char* config : {"", "_RAW_REQUEST_VALUES_=TRUE"}) {
        GatewayRun r = Page("<HTML><SQL NAME=o TEXT=\"SELECT name FROM items WHERE id IN (2, 5) ORDER BY id\">"
                            "<DBRESULT QUERY=o><SQL NAME=i TEXT=\"SELECT id FROM items WHERE name = '@name'\">"
                            "<DBRESULT QUERY=i>[@id]</DBRESULT></DBRESULT></HTML>",
                            config);
        EXPECT_EQ(r.out, kPage + "<HTML>[2][5]</HTML>") << config;
    }
}

// Outside the page data is its raw text, never HTML-escaped, whether a request value or a
// result column: as a `?` parameter (a master-detail page over `a&b<c>` finds its detail
// rows), in a program's arguments and in a redirect.
TEST_P(DatabaseTest, DataIsRawOutsideThePage) {
    db_->Exec("INSERT INTO items VALUES (6, 'a&b<c>', 3, 'a&b<c>')");
    db_->Site().Write("args.sh", "#!/bin/sh\nprintf '%s|' \"$@\"; printf '\\377'\n", 0755);
    const std::string outer = "<SQL NAME=o TEXT=\"SELECT name FROM items WHERE id = 6\">";
    const std::string param = "<SQL NAME=i TEXT=\"SELECT id FROM items WHERE note = '?'\">"
                              "<DBRESULT QUERY=i PARAM=(@%s)>[@id]</DBRESULT>";
    const std::string redirect = "<SQL NAME=i TEXT=\"SELECT nothing FROM nowhere\" ERROR_URL=\"e.htm?n=@%s\">"
                                 "<DBRESULT QUERY=i>x</DBRESULT>";
    const struct {
        const char* sink;
        std::string inner;  // %s: the reference's name
        std::string expected;
    } rows[] = {
        {"? parameter", param, kPage + "<HTML>[6]</HTML>"},
        {"program argument", "<FUNCTION COMMAND=\"./args.sh @%s\">", kPage + "<HTML>a&b<c>|</HTML>"},
        {"redirect", redirect, Redirect("e.htm?n=a&b<c>")},
    };
    for (const auto& row : rows) {
        for (const char* origin : {"name", "V"}) {
            std::string inner = row.inner;
            inner.replace(inner.find("%s"), 2, origin);
            EXPECT_EQ(Page("<HTML>" + outer + "<DBRESULT QUERY=o>" + inner + "</DBRESULT></HTML>", "",
                           "V=a%26b%3Cc%3E")
                          .out,
                      row.expected)
                << row.sink << " " << origin;
        }
    }
}

TEST_P(DatabaseTest, DebugShowsTheExecutedSql) {
    GatewayRun r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id FROM items WHERE id = ? OR name = '?'\">"
                        "<DBRESULT QUERY=q PARAM=(@K, @N)>@id</DBRESULT></HTML>",
                        "_DEBUG_=TRUE", "K=2&N=O'Neil--%3Cb%3E");
    const std::string expected =
        kPage + "<HTML><!-- SELECT id FROM items WHERE( id = 2 OR  name = 'O''Neil- -&#60;b&#62;') -->2</HTML>";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    // Without an error page the visitor gets the 500 answer; the log keeps its error line and
    // adds the database's words as running text in a comment of their own.
    r = Page("<HTML><SQL NAME=q TEXT=\"SELECT id FROM items WHERE id = x'<b>--'\">"
             "<DBRESULT QUERY=q>x</DBRESULT></HTML>", "_DEBUG_=TRUE");
    EXPECT_EQ(r.out.rfind("Status: 500 Internal Server Error\n", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("nme"), std::string::npos) << r.out;
    const std::string log = db_->Site().Read("quorvel.log");
    const std::string error = "<!-- Syntax or semantic error in SQL statement: q -->\n";
    const size_t line = log.find(error + "<!-- SQLSTATE ");
    ASSERT_NE(line, std::string::npos) << log;
    const size_t from = line + error.size();
    const std::string said = log.substr(from, log.find('\n', from) - from);
    EXPECT_NE(said.find(GetParam() == DbKind::kSqlite ? "&#60;b&#62;- -" : "&#60;"), std::string::npos) << said;
    EXPECT_EQ(said.find("--", 4), said.size() - 3) << said;  // only the comment's own end
    EXPECT_EQ(said.find('<', 1), std::string::npos) << said;
}

TEST_P(DatabaseTest, ConnectionSelection) {
    const std::string pair = "<SQL NAME=a TEXT=\"SELECT name FROM items ORDER BY id DESC\"%s>"
                             "<SQL NAME=b TEXT=\"SELECT name FROM items ORDER BY id DESC\">"
                             "<DBRESULT QUERY=a MAXROWS=1>@name</DBRESULT>/"
                             "<DBRESULT QUERY=b MAXROWS=1>@name</DBRESULT>";
    auto page = [&](const std::string& connect) {
        std::string p = pair;
        return "<HTML>" + p.replace(p.find("%s"), 2, connect) + "</HTML>";
    };
    db_->Site().Write("t.htmx", page(" CONNECT=\"" + db_->Connect("qv2") + "\""));
    // With _CONNECT_ defined, CONNECT opens a private connection; b uses _CONNECT_.
    db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + db_->Connect() + "\"");
    EXPECT_EQ(db_->Get("t.htmx").out, kPage + "<HTML>Other/Date</HTML>");
    // Without _CONNECT_, the first CONNECT becomes the shared connection.
    db_->Site().Write("quorvel.cfg", "");
    EXPECT_EQ(db_->Get("t.htmx").out, kPage + "<HTML>Other/Other</HTML>");
    // Written again in every row, an SQL element runs on the connection it opened in the
    // first: the process holds as many database files and sockets in the fifth row as in the
    // first.
    db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + db_->Connect() + "\"");
    db_->Site().Write("fds.sh", "#!/bin/sh\nprintf '%s,\\377' $(ls -l /proc/$PPID/fd | grep -c -e 'qv2.db$' -e socket:)\n",
                      0755);
    db_->Site().Write("rows.htmx", "<HTML><SQL NAME=r TEXT=\"SELECT x FROM big ORDER BY x\"><DBRESULT QUERY=r MAXROWS=5>"
                                   "<SQL NAME=o CONNECT=\"" + db_->Connect("qv2") + "\" TEXT=\"SELECT name FROM items\">"
                                   "<FUNCTION COMMAND=./fds.sh></DBRESULT></HTML>");
    const std::string rows = db_->Get("rows.htmx").out;
    const size_t start = std::min(rows.size(), kPage.size() + 6);
    const std::string first = rows.substr(start, rows.find(',', start) + 1 - start);
    EXPECT_EQ(rows.substr(start), first + first + first + first + first + "</HTML>") << rows;
    // No connection to be had at all.
    db_->Site().Write("quorvel.cfg", "_ERR_URL_=e.htm");
    db_->Site().Write("t.htmx", page(""));
    EXPECT_EQ(db_->Get("t.htmx").out, Redirect("e.htm"));
    EXPECT_EQ(LastRecord(), "t.htmx Failed to connect to database");
}

TEST_P(DatabaseTest, ConnectFailuresHideThePassword) {
    const std::string unreachable = db_->Unreachable();
    struct Row {
        std::string connect;
        std::string detail;
        std::string cause;  // what standard error adds: why, in the driver manager's words
    };
    std::vector<Row> rows = {
        {"nosuchsource:u/secret", "nosuchsource:u/***",
         "(SQLSTATE IM002: [unixODBC][Driver Manager]Data source name not found"},
        {"ds/x:user", "ds/***", "(not of the form DATASOURCE:USER/PASSWORD)"},
        {"nocolon", "nocolon", "(not of the form DATASOURCE:USER/PASSWORD)"},
        {unreachable, unreachable.substr(0, unreachable.find('/') + 1) + "***", "(SQLSTATE "},
    };
    if (db_->Kind() == DbKind::kPostgres)
        rows.push_back({"qv:quorvel/wrong", "qv:quorvel/***", "password authentication failed"});
    for (const Row& row : rows) {
        db_->Site().Write("quorvel.cfg", "_ERR_URL_=e.htm");
        db_->Site().Write("t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT 1\" CONNECT=\"" + row.connect +
                                        "\" ERROR_URL=@WHERE></HTML>");
        GatewayRun r = db_->Site().Get("t.htmx", "WHERE=conn.htm", db_->Environment());
        EXPECT_EQ(r.out, Redirect("conn.htm")) << row.connect;
        EXPECT_EQ(LastRecord(), "t.htmx?WHERE=conn.htm Failed to connect to database: " + row.detail)
            << row.connect;
        EXPECT_EQ(r.err.rfind("quorvel: t.htmx:1:7: error 0: Failed to connect to database: " + row.detail, 0), 0u)
            << r.err;
        EXPECT_NE(r.err.find(row.cause), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
    }
}

struct ErrorCase {
    const char* name;
    std::string page;   // inside <HTML>...</HTML>
    std::string query;  // query string
    std::string url;    // where the browser is sent
    std::string record; // the statistics record after "t.htmx[?query] "
    std::string err;    // on standard error: "quorvel: t.htmx:" ERR ": " RECORD, then the driver's words
    std::string said;   // in the driver's words (SQLite and PostgreSQL alike), or ""
};

TEST_P(DatabaseTest, EveryErrorWithItsDetailAndPage) {
    const std::string q = "<SQL NAME=q TEXT=\"SELECT id FROM items WHERE id = ?\" ERROR_URL=@E>";
    const ErrorCase cases[] = {
        {"no TEXT", "<SQL NAME=q ERROR_URL=x.htm>", "", "err.htm", "Text attribute missing from tag", "1:7: error 17",
         ""},
        {"no NAME", "<SQL TEXT=\"SELECT 1\">", "", "err.htm", "Name attribute missing from tag", "1:7: error 16", ""},
        {"two statements", "<SQL NAME=q TEXT=\"SELECT 1; SELECT 2\" ERROR_URL=@E>", "E=two.htm",
         "two.htm", "Only one select statement is allowed in each query: SELECT 1; SELECT 2", "1:7: error 19", ""},
        {"trailing semicolon", "<SQL NAME=q TEXT=\"SELECT 1;\">", "", "err.htm",
         "Only one select statement is allowed in each query: SELECT 1;", "1:7: error 19", ""},
        {"analysis", "<SQL NAME=q TEXT=\"SELECT a BETWEEN 1 AND 2 FROM t\" ERROR_URL=@E>", "E=an.htm",
         "an.htm", "Syntax or semantic error in SQL statement: SELECT a BETWEEN 1 AND 2 FROM t", "1:7: error 1",
         ""},
        {"no QUERY", "<DBRESULT>x</DBRESULT>", "", "err.htm",
         "Query attribute missing from tag: At DBRESULT tag", "1:7: error 18", ""},
        {"QUERY undefined", "<DBRESULT QUERY=nothing>x</DBRESULT>", "", "err.htm",
         "Query is not defined: At DBRESULT tag", "1:7: error 25", ""},
        {"QUERY names a plain variable", "<DBRESULT QUERY=E>x</DBRESULT>", "E=1", "err.htm",
         "Query is not defined: At DBRESULT tag", "1:7: error 25", ""},
        {"referencing the operation", q + "@q", "E=e.htm", "err.htm",
         "Cannot reference a SQL operation definiton: q", "1:73: error 14", ""},
        {"too few parameters", q + "<DBRESULT QUERY=q>x</DBRESULT>", "E=p.htm", "p.htm",
         "Mismatch in number of parameters to SQL statement: q", "1:73: error 6", ""},
        {"empty value outside a condition",
         "<SQL NAME=q TEXT=\"SELECT id FROM items ORDER BY ?\" ERROR_URL=@E>"
         "<DBRESULT QUERY=q PARAM=@NONE>x</DBRESULT>",
         "E=e.htm", "e.htm", "Parameter to SQL statement is not defined: q", "1:71: error 41", ""},
        {"empty value without trimming",
         "<SQL NAME=q TEXT=\"SELECT id FROM items WHERE id = ?\" TRIM=False>"
         "<DBRESULT QUERY=q PARAM=(@NONE)>x</DBRESULT>",
         "", "err.htm", "Variable is not defined: NONE", "1:71: error 9", ""},
        {"unsafe value", q + "<DBRESULT QUERY=q PARAM=(@V)>x</DBRESULT>", "E=v.htm&V=1;DROP+TABLE+items",
         "v.htm", "Syntax or semantic error in SQL statement: q", "1:73: error 1", ""},
        {"statement the database rejects",
         "<SQL NAME=q TEXT=\"SELECT nothing FROM nowhere\" ERROR_URL=@E><DBRESULT QUERY=q>x</DBRESULT>",
         "E=db.htm", "db.htm", "Syntax or semantic error in SQL statement: q", "1:67: error 1", "SQLSTATE"},
        {"misspelled column", "<SQL NAME=q TEXT=\"SELECT nme FROM items\"><DBRESULT QUERY=q>x</DBRESULT>", "",
         "err.htm", "Syntax or semantic error in SQL statement: q", "1:48: error 1", "nme"},
        {"misspelled table", "<SQL NAME=q TEXT=\"SELECT id FROM itemz\"><DBRESULT QUERY=q>x</DBRESULT>", "",
         "err.htm", "Syntax or semantic error in SQL statement: q", "1:47: error 1", "itemz"},
        {"bad SQL", "<SQL NAME=q TEXT=\"SELECT id, FROM items\"><DBRESULT QUERY=q>x</DBRESULT>", "",
         "err.htm", "Syntax or semantic error in SQL statement: q", "1:48: error 1", "syntax"},
    };
    for (const ErrorCase& c : cases) {
        GatewayRun r = Page("<HTML>" + c.page + "</HTML>", "_ERR_URL_=err.htm", c.query);
        EXPECT_EQ(r.out, Redirect(c.url)) << c.name;
        std::string path = c.query.empty() ? "t.htmx " : "t.htmx?" + c.query + " ";
        EXPECT_EQ(LastRecord(), path + c.record) << c.name;
        // Standard error places it, and for a statement the database ran, adds the database's own words.
        const std::string line = "quorvel: t.htmx:" + c.err + ": " + c.record;
        EXPECT_EQ(r.err.substr(0, line.size()), line) << c.name;
        if (c.said.empty())
            EXPECT_EQ(r.err, line + "\n") << c.name;
        else
            EXPECT_NE(r.err.find(" (SQLSTATE "), std::string::npos) << c.name;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << c.name << r.err;
    }
    // The table is intact after the attempt to drop it.
    EXPECT_EQ(Page("<HTML>" + q + "<DBRESULT QUERY=q PARAM=(@V)>@id</DBRESULT></HTML>", "", "V=3").out,
              kPage + "<HTML>3</HTML>");
}

TEST_P(DatabaseTest, PageRequestsDefineOnlyQueries) {
    // No connection is needed for elements that define nothing: _CONNECT_ names nothing here.
    db_->Site().Write("quorvel.cfg", "_CONNECT_=\"nosuch:/\" _ERR_URL_=err.htm");
    db_->Site().Write("t.htmx", "<HTML><SQL TEXT=\"insert into items VALUES (5)\">"
                                "<SQL NAME=x TEXT=\" SELECT 1\">"
                                "<SQL NAME=y TEXT=\"WITH a AS (SELECT 1) SELECT 1\">ok</HTML>");
    EXPECT_EQ(db_->Get("t.htmx").out, kPage + "<HTML>ok</HTML>");
}

TEST_P(DatabaseTest, PostProcessRequestsVisitTheBodyOnceWithoutQuerying) {
    // The query would fail if it ran, and so would MAXROWS; only the action is defined.
    const std::string page = "<HTML><SQL NAME=q TEXT=\"SELECT id FROM nowhere\">"
                             "<DBRESULT QUERY=q MAXROWS=bad>@id<SQL NAME=a TEXT=\"DELETE FROM nowhere\"%s>"
                             "</DBRESULT></HTML>";
    auto with = [&](const std::string& extra) {
        std::string p = page;
        return p.replace(p.find("%s"), 2, extra);
    };
    db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + db_->Connect() + "\" _ERR_URL_=err.htm");
    db_->Site().Write("t.htmx", with(""));
    GatewayRun r = db_->Site().Get("t.htmx", "_POST_PROCESS_=done.htm", db_->Environment());
    EXPECT_EQ(r.out, Redirect("done.htm"));
    // The action inside the body is defined: its connection is opened.
    db_->Site().Write("t.htmx", with(" CONNECT=\"nosuch:u/pw\""));
    r = db_->Site().Get("t.htmx", "_POST_PROCESS_=done.htm", db_->Environment());
    EXPECT_EQ(r.out, Redirect("err.htm"));
    EXPECT_EQ(LastRecord(), "t.htmx?_POST_PROCESS_=done.htm Failed to connect to database: nosuch:u/***");
}

}  // namespace

// The driver writes each fetched length where its column was bound, outside the reach of
// the sanitizers: a result wider than the columns bound so far must not move them. Checked
// by running one request under valgrind's memory checker, where it is installed.
TEST_P(DatabaseTest, WideResultsKeepTheirBoundColumnsInPlace) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "valgrind cannot run a sanitizer build";
#endif
    if (::access("/usr/bin/valgrind", X_OK) != 0 || ModeFromEnvironment() != GatewayMode::kCgi)
        GTEST_SKIP() << "needs valgrind and a gateway run as a CGI program";
    std::string columns;
    for (char c = 'a'; c <= 'q'; ++c)
        columns += std::string(columns.empty() ? "" : ", ") + "id AS " + c;
    db_->Site().Write("quorvel.cfg", "_CONNECT_=\"" + db_->Connect() + "\"\n");
    db_->Site().Write("t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT " + columns +
                                    " FROM items ORDER BY id\"><DBRESULT QUERY=q>@a@q</DBRESULT></HTML>");
    std::map<std::string, std::string> env = db_->Environment();
    env["PATH_INFO"] = "t.htmx";
    env["REQUEST_METHOD"] = "GET";
    GatewayRun r = RunCommand({}, env, db_->Site().Dir(), 120, {"/usr/bin/valgrind", "-q", "--error-exitcode=9"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, kPage + "<HTML>11223344</HTML>");
}

INSTANTIATE_TEST_SUITE_P(Drivers, DatabaseTest,
                         ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);
