// Faults around a submitted form, on SQLite and PostgreSQL: a statement of row 3 of 5
// refused, the validation program killed while it answers, the database unreachable
// between the page and the submission, a read-only database, the PostgreSQL server stopped
// in the middle of the transaction. Whatever happens, the database holds every row of a
// submission or none, and the browser is sent to an error page.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "e2e/DbSite.h"
#include "e2e/FaultSupport.h"
#include "e2e/FormBrowser.h"
#include "e2e/PgServer.h"

namespace {

const char kSchema[] =
    "CREATE TABLE items (id INTEGER PRIMARY KEY);"
    "INSERT INTO items VALUES (1);INSERT INTO items VALUES (2);INSERT INTO items VALUES (3);"
    "INSERT INTO items VALUES (4);INSERT INTO items VALUES (5);"
    "CREATE TABLE orders (order_id INTEGER, item INTEGER, qty INTEGER CHECK (qty <> 13),"
    " PRIMARY KEY (order_id, item));";
const char kRows[] = "SELECT order_id, item, qty FROM orders ORDER BY order_id, item";
const char kFiveRows[] = "7|1|1\n7|2|2\n7|3|3\n7|4|4\n7|5|5\n";

// An order form: one row per item, the order number travels in a hidden field.
std::string OrderPage(const std::string& formAttributes = "") {
    return "<HTML><SQL NAME=items TEXT=\"SELECT id FROM items ORDER BY id\">"
           "<SQL NAME=save TEXT=\"INSERT INTO orders (order_id, item, qty) VALUES (?, ?, ?)\""
           " ERROR_URL=dberr.htm>"
           "<FORM SQLACTION=save ACTION=done.htm METHOD=POST PARAM=(@ORDER,@ITEM,@QTY)" +
           formAttributes +
           "><INPUT TYPE=HIDDEN NAME=ORDER VALUE=@ORDER>"
           "<DBRESULT QUERY=items><INPUT TYPE=HIDDEN NAME=ITEM VALUE=@id><INPUT NAME=QTY></DBRESULT>"
           "</FORM></HTML>";
}

std::map<std::string, std::string> Quantities(const std::vector<std::string>& q) {
    std::map<std::string, std::string> values;
    for (size_t i = 0; i < q.size(); ++i)
        values[i == 0 ? "QTY" : "QTY___" + std::to_string(i + 1)] = q[i];
    return values;
}

const std::map<std::string, std::string> kGood = Quantities({"1", "2", "3", "4", "5"});

// The same faults on both drivers, through the shared servers of the test run.
class SubmissionFault : public ::testing::TestWithParam<DbKind> {
protected:
    void SetUp() override {
        std::string why;
        if (GetParam() == DbKind::kPostgres && !EnsurePostgres(why))
            FAIL() << why;
        QV_SKIP_WITHOUT_DB(GetParam());
        db = std::make_unique<DbSite>(GetParam());
        db->Exec(kSchema);
        db->Site().Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"" + db->Connect() + "\"");
    }
    PageForm Load(const std::string& page) {
        db->Site().Write("order.htmx", page);
        GatewayRun r = db->Site().Get("/order.htmx", "ORDER=7", db->Environment());
        std::vector<PageForm> forms = ReadForms(r.out);
        EXPECT_EQ(forms.size(), 1u) << r.out;
        return forms.empty() ? PageForm() : forms[0];
    }
    std::string Submit(const PageForm& form, const std::map<std::string, std::string>& values) {
        last = SubmitTo(db->Site(), form, values, "POST", db->Environment());
        return RedirectTarget(last);
    }
    std::string LastRecord() {
        std::string all = db->Site().StatsWithoutTimestamps();
        if (all.empty())
            return "<no record>";
        all.pop_back();
        return all.substr(all.rfind('\n') + 1);
    }

    std::unique_ptr<DbSite> db;
    GatewayRun last;  // of the last submission
};

TEST_P(SubmissionFault, StatementOfRowThreeOfFiveRefused) {
    PageForm form = Load(OrderPage());
    EXPECT_EQ(Submit(form, Quantities({"1", "2", "13", "4", "5"})), "dberr.htm");
    EXPECT_EQ(LastRecord(), "/order.htmx?ORDER=7 Syntax or semantic error in SQL statement: save");
    EXPECT_EQ(db->Query(kRows), "");
    // The same form, sound: all five rows; sent again: refused whole, still stored once.
    EXPECT_EQ(Submit(form, kGood), "done.htm");
    EXPECT_EQ(Submit(form, kGood), "dberr.htm");
    EXPECT_EQ(db->Query(kRows), kFiveRows);
}

// An ACTION with references leads on with the submitted values, URL-encoded, once the rows
// are stored; a failure still goes to its error page, and another form's ACTION text is
// followed as it came.
TEST_P(SubmissionFault, ActionWithReferencesCarriesTheOrderNumber) {
    PageForm form = Load(OrderPage(" ACTION=\"done.htm?order=@ORDER\""));
    EXPECT_EQ(Submit(form, Quantities({"1", "2", "13", "4", "5"})), "dberr.htm");
    EXPECT_EQ(Submit(form, kGood), "done.htm?order=7");
    EXPECT_EQ(db->Query(kRows), kFiveRows);
    db->Exec("DELETE FROM orders");
    auto other = kGood;
    other["_POST_PROCESS_"] = "list.htm?order=ORDER";
    EXPECT_EQ(Submit(form, other), "list.htm?order=ORDER");
}

TEST_P(SubmissionFault, ValidationProgramKilledWhileAnswering) {
    // Answers half of "OK", leaves a child holding the pipe, then dies by SIGKILL.
    db->Site().Write("killed.sh",
                     "#!/bin/sh\n" + kSleepPastTheLimit + " & echo $! > child.pid\nprintf 'O'\nkill -9 $$\n", 0755);
    PageForm form = Load(OrderPage(" VALIDATION=(\"\",./killed.sh,OK,invalid.htm)"));
    EXPECT_EQ(Submit(form, kGood), "invalid.htm");
    EXPECT_EQ(LastRecord(), "/order.htmx?ORDER=7 Validation check failed: ./killed.sh");
    EXPECT_TRUE(ProcessGone(std::atoi(db->Site().Read("child.pid").c_str())));
    EXPECT_EQ(db->Query(kRows), "");
}

INSTANTIATE_TEST_SUITE_P(Drivers, SubmissionFault, ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

// SQLite: the database file goes away, or cannot be written.
class SqliteSubmissionFault : public SubmissionFault {
protected:
    std::string File() const { return db->Odbc().Dir() + "/qv.db"; }
};

TEST_P(SqliteSubmissionFault, DatabaseGoneBetweenPageAndSubmission) {
    PageForm form = Load(OrderPage());
    ASSERT_EQ(std::rename(File().c_str(), (File() + ".away").c_str()), 0);
    EXPECT_EQ(Submit(form, kGood), "dberr.htm");
    EXPECT_EQ(LastRecord(), "/order.htmx?ORDER=7 Failed to connect to database: qv:/***");
    ASSERT_EQ(std::rename((File() + ".away").c_str(), File().c_str()), 0);
    EXPECT_EQ(db->Query(kRows), "");
}

TEST_P(SqliteSubmissionFault, ReadOnlyDatabaseFile) {
    PageForm form = Load(OrderPage());
    {
        ReadOnlyFile guard(File());
        if (!guard.Applied())
            GTEST_SKIP() << "cannot make " << File() << " read-only here";
        // Pages still read it; a submission is refused whole.
        EXPECT_EQ(Load(OrderPage()).Names().size(), 13u);
        EXPECT_EQ(Submit(form, kGood), "dberr.htm");
        EXPECT_EQ(LastRecord(), "/order.htmx?ORDER=7 Syntax or semantic error in SQL statement: save");
        // In the driver's words: "attempt to write a readonly database", or for a connection
        // opened before, "disk I/O error".
        EXPECT_NE(last.err.find(": save (SQLSTATE S1000: [SQLite]"), std::string::npos) << last.err;
    }
    // Read once it can be written again: a connection the gateway opened before may have
    // left a journal that only a writer can roll back.
    EXPECT_EQ(db->Query(kRows), "");
}

// A request reads the database its data source names now: also when the source was
// redefined, or its file replaced, since the last request (a connection kept from before
// must not be used then).
TEST_P(SqliteSubmissionFault, DatabaseReplacedBetweenRequests) {
    EXPECT_EQ(Load(OrderPage()).Names().size(), 13u);  // five item rows
    const std::string second = db->Odbc().Dir() + "/qv2.db";
    db->Exec("CREATE TABLE items (id INTEGER PRIMARY KEY); INSERT INTO items VALUES (8); INSERT INTO items VALUES (9);",
             "qv2");
    ASSERT_EQ(std::rename(second.c_str(), File().c_str()), 0);
    EXPECT_EQ(Load(OrderPage()).Names().size(), 7u) << "the file replaced by one of two items";
    DbSite other(DbKind::kSqlite);
    other.Exec("CREATE TABLE items (id INTEGER PRIMARY KEY); INSERT INTO items VALUES (8);");
    const std::string ini = db->Odbc().Dir() + "/odbc.ini";
    std::ifstream in(ini);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    text.replace(text.find(File()), File().size(), other.Odbc().Dir() + "/qv.db");
    std::ofstream(ini) << text;
    EXPECT_EQ(Load(OrderPage()).Names().size(), 5u) << "the source redefined as the file of one item";
}

INSTANTIATE_TEST_SUITE_P(Drivers, SqliteSubmissionFault, ::testing::Values(DbKind::kSqlite),
                         [](const ::testing::TestParamInfo<DbKind>&) { return "SQLite"; });

// PostgreSQL and MariaDB: a server of the test's own, which it stops and starts at will.
class ServerSubmissionFault : public ::testing::TestWithParam<DbKind> {
protected:
    void SetUp() override {
        server = PrivateServer::Start(GetParam());
        if (!server)
            GTEST_SKIP() << "no " << DbKindName({GetParam(), 0}) << " server could be started here";
        server->Sql(kSchema);
        odbc.AddSource("priv=" + server->Definition());
        site.Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"priv:quorvel/quorvel\"");
        site.Write("order.htmx", OrderPage());
        GatewayRun r = site.Get("/order.htmx", "ORDER=7", Env());
        std::vector<PageForm> forms = ReadForms(r.out);
        ASSERT_EQ(forms.size(), 1u) << r.out;
        form = forms[0];
    }
    std::map<std::string, std::string> Env() const { return {{"ODBCSYSINI", odbc.Dir()}}; }
    std::string Submit(const std::map<std::string, std::string>& values) {
        last = SubmitTo(site, form, values, "POST", Env());
        return RedirectTarget(last);
    }

    std::unique_ptr<PrivateServer> server;
    OdbcTestEnv odbc;
    E2eSite site;
    PageForm form;
    GatewayRun last;  // of the last submission
};

TEST_P(ServerSubmissionFault, ServerStoppedBetweenPageAndSubmission) {
    server->Stop();
    EXPECT_EQ(Submit(kGood), "dberr.htm");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "/order.htmx?ORDER=7\n"
                                             "/order.htmx?ORDER=7 Failed to connect to database: priv:quorvel/***\n");
    ASSERT_TRUE(server->Restart());
    EXPECT_EQ(server->Sql(std::string(kRows) + ";"), "");
}

TEST_P(ServerSubmissionFault, ServerStoppedInTheMiddleOfTheTransaction) {
    // Row 3 waits inside the transaction; the server is stopped while it waits.
    const bool pg = GetParam() == DbKind::kPostgres;
    server->Sql(pg ? "CREATE FUNCTION slow() RETURNS trigger AS $$ BEGIN IF NEW.item = 3 THEN"
                     " PERFORM pg_sleep(300); END IF; RETURN NEW; END $$ LANGUAGE plpgsql;"
                     "CREATE TRIGGER slow BEFORE INSERT ON orders FOR EACH ROW EXECUTE FUNCTION slow();"
                   : "CREATE TRIGGER slow BEFORE INSERT ON orders FOR EACH ROW SET @x = IF(NEW.item = 3, SLEEP(300), 0);");
    std::string target;
    std::thread submission([&] { target = Submit(kGood); });
    bool waiting = false;
    for (int i = 0; i < 200 && !waiting; ++i) {
        waiting = server->Sql(pg ? "SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep';"
                                 : "SELECT count(*) FROM information_schema.processlist WHERE state = 'User sleep';") ==
                  "1\n";
        if (!waiting)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(waiting) << "row 3 never reached the server";
    server->Stop();
    submission.join();
    EXPECT_EQ(target, "dberr.htm");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "/order.htmx?ORDER=7\n"
                                             "/order.htmx?ORDER=7 Syntax or semantic error in SQL statement: save\n");
    ASSERT_TRUE(server->Restart());
    EXPECT_EQ(server->Sql(std::string(kRows) + ";"), "");
}

TEST_P(ServerSubmissionFault, ReadOnlyDatabase) {
    // For new sessions: a connection a persistent gateway keeps is ended so that it opens one.
    server->Sql(GetParam() == DbKind::kMariadb ? "SET GLOBAL read_only = 1;"
                : "ALTER DATABASE quorvel SET default_transaction_read_only = on;"
                  "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity"
                  " WHERE datname = 'quorvel' AND pid <> pg_backend_pid();");
    EXPECT_EQ(Submit(kGood), "dberr.htm");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "/order.htmx?ORDER=7\n"
                                             "/order.htmx?ORDER=7 Syntax or semantic error in SQL statement: save\n");
    EXPECT_NE(last.err.find("read-only"), std::string::npos) << last.err;  // the server's words
    EXPECT_EQ(server->Sql(std::string(kRows) + ";"), "");
}

INSTANTIATE_TEST_SUITE_P(Drivers, ServerSubmissionFault, ::testing::Values(DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

}  // namespace
