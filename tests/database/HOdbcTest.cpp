#include "database/HOdbc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <filesystem>
#include <string>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "base/HExcept.h"
#include "database/HConnections.h"
#include "database/HSqlElement.h"
#include "database/OdbcTestEnv.h"
#include "template/HInput.h"
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

// The SQLite driver leaks what it reads from odbc.ini on each connection, in a library it
// loads and unloads itself: out of reach of the drivers' suppressions.
#if defined(__SANITIZE_ADDRESS__)
#define QV_DRIVER_LEAKS __lsan::ScopedDisabler driverLeaks
#else
#define QV_DRIVER_LEAKS
#endif

bool Runs(HOdbcHandle hdbc, const char* sql) {
    HOdbcStatement stmt = OdbcAllocStmt(hdbc);
    return stmt.Get() && OdbcSucceeded(OdbcPrepare(stmt.Get(), sql)) && OdbcSucceeded(OdbcExecute(stmt.Get()));
}

// A request leaves a temporary table on a connection; the next Open of the same string finds
// it only when it is handed the same session. Statements are dropped before the owner goes.
TEST(HOdbcTest, OwnerKeepsReleasedConnectionsThatStillWork) {
    enum Between { kNothing, kRelease, kSessionChange, kReplaceFile, kCloseAll };
    const struct {
        bool keep;
        Between between;
        bool sameSession;
    } rows[] = {
        {false, kRelease, false},        // a single-request process opens anew
        {true, kRelease, true},
        {true, kNothing, false},         // still in use: a second connection
        {true, kSessionChange, false},   // SQLite's reset: closed after a session change
        {true, kReplaceFile, false},     // a database file replaced: opened anew
        {true, kCloseAll, false},
    };
    QV_DRIVER_LEAKS;
    int n = 0;
    for (const auto& r : rows) {
        const std::string name = "keep" + std::to_string(n++), connect = name + ":/";
        const std::string path = OdbcTestEnv::Process().CreateSqliteSource(name);
        HConnections owner;
        owner.Keep(r.keep);
        HContext ctx;
        EXPECT_THROW(owner.Open(ctx, "nosuchsource:/", nullptr), HExcept);
        owner.Release();
        HOdbcLink first = owner.Open(ctx, connect, nullptr);
        ASSERT_TRUE(Runs(first.hdbc, "CREATE TEMP TABLE mark (a INTEGER)"));
        if (r.between == kSessionChange)
            owner.NoteSessionChange(first.hdbc);
        if (r.between == kReplaceFile)
            std::filesystem::copy_file(path, path + ".new"), std::filesystem::rename(path + ".new", path);
        if (r.between == kCloseAll)
            owner.CloseAll();
        else if (r.between != kNothing)
            owner.Release();
        HOdbcLink second = owner.Open(ctx, connect, nullptr);
        EXPECT_EQ(Runs(second.hdbc, "SELECT a FROM mark"), r.sameSession) << n;
        EXPECT_TRUE(Runs(second.hdbc, "CREATE TABLE t (a INTEGER)")) << n;  // the file as named now
    }
}

// A kept owner watches the data-source files once it has connected: each way of changing the
// user's file stirs the watch, and only then are the files looked at again. A file that is a
// symbolic link is not watched: it is looked at every time.
TEST(HOdbcTest, KeptOwnerWatchesTheDataSourceFiles) {
    enum Change { kWrite, kRename, kOtherLink, kFolderRenamed, kSymlink, kBeside };
    OdbcTestEnv::Process().CreateSqliteSource("watched");
    QV_DRIVER_LEAKS;
    const char* const saved = std::getenv("ODBCINI");
    const std::string keep = saved ? saved : "";
    for (Change change : {kWrite, kRename, kOtherLink, kFolderRenamed, kSymlink, kBeside}) {
        char dir[] = "/tmp/qvwatch.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        const std::string folder = dir, file = folder + "/user.ini", other = folder + ".other";
        std::ofstream(change == kSymlink ? other : file) << "\n";
        if (change == kSymlink)
            std::filesystem::create_symlink(other, file);
        if (change == kOtherLink)
            std::filesystem::create_hard_link(file, other);
        ::setenv("ODBCINI", file.c_str(), 1);
        HConnections owner;
        owner.Keep(true);
        HContext ctx;
        owner.Open(ctx, "watched:/", nullptr);
        owner.Release();
        pollfd watch = {owner.ConfigurationWatch(), POLLIN, 0};
        EXPECT_EQ(watch.fd < 0, change == kSymlink) << change;
        EXPECT_FALSE(owner.ConfigurationChanged(true)) << change;  // the database written beside
        EXPECT_EQ(::poll(&watch, 1, 0), 0) << change;
        EXPECT_FALSE(owner.ConfigurationChanged(false)) << change;
        if (change == kWrite || change == kOtherLink || change == kSymlink)
            std::ofstream(change == kWrite ? file : other, std::ios::app) << "[x]\n";
        if (change == kRename)
            std::ofstream(file + ".new") << "[x]\n", std::filesystem::rename(file + ".new", file);
        if (change == kBeside)
            std::ofstream(folder + "/beside.db") << "x";
        if (change == kFolderRenamed)
            std::filesystem::rename(folder, folder + ".old"), std::filesystem::create_directory(folder);
        EXPECT_EQ(::poll(&watch, 1, 0), change == kSymlink ? 0 : 1) << change;
        EXPECT_EQ(owner.ConfigurationChanged(change != kSymlink), change != kBeside) << change;
        std::filesystem::remove_all(folder), std::filesystem::remove_all(folder + ".old");
        std::filesystem::remove(other);
    }
    saved ? ::setenv("ODBCINI", keep.c_str(), 1) : ::unsetenv("ODBCINI");
}

// Within one request: an element with CONNECT keeps its own connection, which is the shared
// one only without _CONNECT_; Release ends the request's view.
TEST(HOdbcTest, OwnerSelectsTheRequestsConnections) {
    OdbcTestEnv::Process().CreateSqliteSource("select");
    QV_DRIVER_LEAKS;
    for (bool configured : {false, true}) {
        HConnections owner;
        HContext ctx;
        if (configured)
            ctx.symbols.Define("_CONNECT_", std::make_unique<HWordValue>("select:/"));
        HSqlElement own, other, plain;
        for (auto [element, attributes] : {std::pair{&own, " CONNECT=\"select:/\">"},
                                           {&other, " CONNECT=\"select:/\">"}, {&plain, ">"}}) {
            auto input = HInput::FromString(attributes);
            ctx.input = input.get();
            int status = 0;
            element->Parse(ctx, status);
        }
        const HOdbcHandle hdbc = owner.Select(ctx, own, nullptr).hdbc;
        EXPECT_EQ(owner.Select(ctx, own, nullptr).hdbc, hdbc);
        EXPECT_NE(owner.Select(ctx, other, nullptr).hdbc, hdbc);
        EXPECT_EQ(owner.Select(ctx, plain, nullptr).hdbc == hdbc, !configured);
        owner.Release();
        if (configured)
            EXPECT_NE(owner.Select(ctx, plain, nullptr).hdbc, nullptr);
        else
            EXPECT_THROW(owner.Select(ctx, plain, nullptr), HExcept);
    }
}

}  // namespace
