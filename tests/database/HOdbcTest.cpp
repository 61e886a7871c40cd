#include "database/HOdbc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "base/HExcept.h"
#include "database/OdbcTestEnv.h"
#include "values/HContext.h"

using namespace quorvel;

namespace {

TEST(HOdbcTest, ConnectStringParts) {
    struct Row {
        const char* connect;
        bool ok;
        const char* dataSource;
        const char* user;
        const char* password;
    };
    const Row rows[] = {
        {"ds:user/pw", true, "ds", "user", "pw"},
        {"ds:/", true, "ds", "", ""},
        {"ds:us:er/p:a/ss", true, "ds", "us:er", "p:a/ss"},
        {":u/p", true, "", "u", "p"},
        {"ds/x:user", false, "", "", ""},
        {"plain", false, "", "", ""},
        {"ds:user", false, "", "", ""},
        {"ds/", false, "", "", ""},
    };
    for (const Row& r : rows) {
        HConnectString parts;
        ASSERT_EQ(SplitConnectString(r.connect, parts), r.ok) << r.connect;
        if (!r.ok)
            continue;
        EXPECT_EQ(parts.dataSource, r.dataSource) << r.connect;
        EXPECT_EQ(parts.user, r.user) << r.connect;
        EXPECT_EQ(parts.password, r.password) << r.connect;
    }
    HConnectString parts;
    EXPECT_FALSE(SplitConnectString("ds:u/" + std::string(40000, 'p'), parts));
}

TEST(HOdbcTest, MaskedConnectStringHidesThePassword) {
    EXPECT_EQ(MaskConnectString("ds:user/secret"), "ds:user/***");
    EXPECT_EQ(MaskConnectString("ds:/"), "ds:/***");
    EXPECT_EQ(MaskConnectString("ds:u/p/q"), "ds:u/***");
    EXPECT_EQ(MaskConnectString("ds/x:user"), "ds/***");
    EXPECT_EQ(MaskConnectString("nothing"), "nothing");
}

TEST(HOdbcTest, SuccessRule) {
    EXPECT_TRUE(OdbcSucceeded(0));
    EXPECT_TRUE(OdbcSucceeded(1));
    EXPECT_FALSE(OdbcSucceeded(100));
    EXPECT_FALSE(OdbcSucceeded(-1));
    EXPECT_FALSE(OdbcSucceeded(-2));
    EXPECT_FALSE(OdbcSucceeded(99));
}

TEST(HOdbcTest, StatementRoundTripOnSqlite) {
    OdbcTestEnv& env = OdbcTestEnv::Process();
    env.CreateSqliteSource("roundtrip");
    HOdbcHandle henv = OdbcAllocEnv();
    HOdbcHandle hdbc = OdbcAllocConnect(henv);
    HConnectString parts;
    ASSERT_TRUE(SplitConnectString("roundtrip:/", parts));
    ASSERT_TRUE(OdbcSucceeded(OdbcConnect(hdbc, parts)));

    HOdbcStatement stmt = OdbcAllocStmt(hdbc);
    ASSERT_NE(stmt.Get(), nullptr);
    ASSERT_TRUE(OdbcSucceeded(OdbcPrepare(stmt.Get(), "CREATE TABLE t (a INTEGER, b TEXT)")));
    ASSERT_TRUE(OdbcSucceeded(OdbcExecute(stmt.Get())));
    ASSERT_TRUE(OdbcSucceeded(OdbcCloseCursor(stmt.Get())));
    ASSERT_TRUE(OdbcSucceeded(OdbcPrepare(stmt.Get(), "INSERT INTO t VALUES (7, 'seven')")));
    ASSERT_TRUE(OdbcSucceeded(OdbcExecute(stmt.Get())));
    ASSERT_TRUE(OdbcSucceeded(OdbcCloseCursor(stmt.Get())));
    ASSERT_TRUE(OdbcSucceeded(OdbcPrepare(stmt.Get(), "SELECT a, b FROM t")));
    ASSERT_TRUE(OdbcSucceeded(OdbcExecute(stmt.Get())));

    short columns = 0;
    OdbcNumResultCols(stmt.Get(), columns);
    ASSERT_EQ(columns, 2);
    HOdbcColumn description;
    OdbcDescribeCol(stmt.Get(), 2, description);
    EXPECT_STREQ(description.name, "b");
    char a[32], b[32];
    long aLength = 0, bLength = 0;
    ASSERT_TRUE(OdbcSucceeded(OdbcBindCol(stmt.Get(), 1, a, sizeof a, &aLength)));
    ASSERT_TRUE(OdbcSucceeded(OdbcBindCol(stmt.Get(), 2, b, sizeof b, &bLength)));
    ASSERT_TRUE(OdbcSucceeded(OdbcFetch(stmt.Get())));
    EXPECT_STREQ(a, "7");
    EXPECT_STREQ(b, "seven");
    EXPECT_EQ(OdbcFetch(stmt.Get()), kOdbcNoDataFound);
    EXPECT_TRUE(OdbcSucceeded(OdbcCloseCursor(stmt.Get())));

    // Ownership moves; the moved-from owner releases nothing.
    HOdbcStatement other = std::move(stmt);
    EXPECT_EQ(stmt.Get(), nullptr);
    EXPECT_NE(other.Get(), nullptr);
    // A broken statement fails to prepare or to execute.
    short prepared = OdbcPrepare(other.Get(), "SELEC nonsense");
    EXPECT_FALSE(OdbcSucceeded(prepared) && OdbcSucceeded(OdbcExecute(other.Get())));
}

// (A missing SQLite file is covered by the whole-request tests, which can tell the driver's
// own leaks on that path from the gateway's.)
TEST(HOdbcTest, ConnectFailsForAnUnknownSource) {
    OdbcTestEnv::Process();
    HOdbcHandle hdbc = OdbcAllocConnect(OdbcAllocEnv());
    HConnectString parts;
    ASSERT_TRUE(SplitConnectString("nosuchsource:/", parts));
    EXPECT_FALSE(OdbcSucceeded(OdbcConnect(hdbc, parts)));
}

// The connections OpenConnection made are released together (statements first, by their
// owners) and can be opened again, after a failed attempt too.
TEST(HOdbcTest, ConnectionsCloseAndReopen) {
    OdbcTestEnv::Process().CreateSqliteSource("reopen");
    HContext ctx;
    HOdbcHandle henv = nullptr, hdbc = nullptr;
    EXPECT_THROW(OpenConnection(ctx, "nosuchsource:/", henv, hdbc, nullptr), HExcept);
    for (const char* sql : {"CREATE TABLE t (a INTEGER)", "INSERT INTO t VALUES (7)", "SELECT a FROM t"}) {
        {
#if defined(__SANITIZE_ADDRESS__)
            // The SQLite driver leaks what it reads from odbc.ini on each connection, in a
            // library it loads and unloads itself: out of reach of the drivers' suppressions.
            __lsan::ScopedDisabler driverLeaks;
#endif
            OpenConnection(ctx, "reopen:/", henv, hdbc, nullptr);
        }
        HOdbcStatement stmt = OdbcAllocStmt(hdbc);
        ASSERT_TRUE(OdbcSucceeded(OdbcPrepare(stmt.Get(), sql)));
        ASSERT_TRUE(OdbcSucceeded(OdbcExecute(stmt.Get()))) << sql;
        if (sql[0] == 'S') {
            char a[8] = {};
            long length = 0;
            ASSERT_TRUE(OdbcSucceeded(OdbcBindCol(stmt.Get(), 1, a, sizeof a, &length)));
            ASSERT_TRUE(OdbcSucceeded(OdbcFetch(stmt.Get())));
            EXPECT_STREQ(a, "7");  // written through a connection closed since
        }
        stmt = HOdbcStatement();
        CloseConnections();
    }
}

}  // namespace
