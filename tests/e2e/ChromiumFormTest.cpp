// A real browser submits a form: lighttpd serves the gateway as a CGI program, headless
// Chromium (tests/browser/forms.js) loads the order page, fills in rows, presses the button
// and follows the redirect, once with METHOD=POST and once with METHOD=GET, then ticks check
// boxes in a cart; the rows are checked in the database itself, on SQLite and on PostgreSQL.
// The pages declare UTF-8, so a UTF-8 note ("Zoé 漢字") reaches the database as those bytes and comes back unchanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

#include "e2e/DbSite.h"
#include "e2e/PgServer.h"

namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a command line; returns its standard output and error, `ok` when it exited with 0.
std::string Shell(const std::string& command, bool& ok) {
    std::string out;
    ok = false;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = ::pclose(p);
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return out;
}

std::string Assigned(const std::string& out, const std::string& name) {
    size_t p = out.find(name + "=");
    if (p == std::string::npos)
        return "";
    p += name.size() + 1;
    return out.substr(p, out.find('\n', p) - p);
}

const std::string kSource = QUORVEL_SOURCE_DIR;

class ChromiumFormTest : public ::testing::TestWithParam<DbKind> {};

TEST_P(ChromiumFormTest, BrowserSubmitsRowsByPostAndGet) {
    struct stat st;
    ASSERT_EQ(::stat((kSource + "/tests/browser/node_modules/playwright-core").c_str(), &st), 0)
        << "the browser driver is missing: run scripts/setup";
    std::string why;
    if (GetParam() == DbKind::kPostgres && !EnsurePostgres(why))
        FAIL() << why;
    QV_SKIP_WITHOUT_DB(GetParam());

    DbSite db(GetParam());
    db.Exec("CREATE TABLE items (id INTEGER PRIMARY KEY, qty INTEGER, note VARCHAR(40))");
    db.Exec("INSERT INTO items VALUES (1, 5, 'green'), (2, 3, 'blue'), (3, 1, 'red')");
    E2eSite& site = db.Site();
    site.Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htmx _CONNECT_=\"" + db.Connect() + "\"");
    site.Write("order.htmx",
               "<!DOCTYPE html>\n<HTML><HEAD><META CHARSET=\"utf-8\"></HEAD><BODY>\n"
               "<SQL NAME=list TEXT=\"SELECT id, qty, note FROM items ORDER BY id\">\n"
               "<SQL NAME=save TEXT=\"UPDATE items SET qty = ?, note = '?' WHERE id = ?\">\n"
               "<FORM SQLACTION=save ACTION=thanks.htmx METHOD=@METHOD PARAM=(@QTY,@NOTE,@ID)>\n"
               "<DBRESULT QUERY=list>\n"
               "<INPUT TYPE=HIDDEN NAME=ID VALUE=@id>\n"
               "<INPUT NAME=QTY VALUE=@qty DATATYPE=(NUMBER,number.htmx)>\n"
               "<TEXTAREA NAME=NOTE>@note</TEXTAREA>\n"
               "</DBRESULT>\n"
               "<INPUT TYPE=SUBMIT VALUE=Save>\n"
               "</FORM></BODY></HTML>");
    site.Write("thanks.htmx", "<!DOCTYPE html><HTML><HEAD><META CHARSET=\"utf-8\"></HEAD><BODY><SQL NAME=list TEXT=\"SELECT id, qty, note FROM items ORDER BY id\">"
                              "<DBRESULT QUERY=list>[@id:@qty:@note]</DBRESULT></BODY></HTML>");
    // The check-box cart: quantities in one form, a "remove" check box per line in another.
    db.Exec("CREATE TABLE cart (id INTEGER PRIMARY KEY, token VARCHAR(5), item VARCHAR(10), qty INTEGER)");
    db.Exec("INSERT INTO cart VALUES (1, 't1', 'tea', 1), (2, 't1', 'cups', 2), (3, 't1', 'pot', 1),"
            " (4, 't2', 'mug', 5)");
    site.Write("cart.htmx",
               "<HTML><BODY><SQL NAME=lines TEXT=\"SELECT id, item, qty FROM cart WHERE token = 't1' ORDER BY id\">\n"
               "<SQL NAME=save TEXT=\"UPDATE cart SET qty = ? WHERE id = ? AND token = '?'\">\n"
               "<FORM SQLACTION=save ACTION=cartlist.htmx METHOD=POST PARAM=(@QTY,@ID,@TOKEN)>\n"
               "<INPUT TYPE=HIDDEN NAME=TOKEN VALUE=t1><DBRESULT QUERY=lines>\n"
               "@item <INPUT TYPE=HIDDEN NAME=ID VALUE=@id><INPUT NAME=QTY VALUE=@qty>\n"
               "</DBRESULT><INPUT TYPE=SUBMIT VALUE=Save></FORM>\n"
               "<SQL NAME=drop TEXT=\"DELETE FROM cart WHERE id = ? AND token = '?'\">\n"
               "<FORM SQLACTION=drop ACTION=cartlist.htmx METHOD=POST PARAM=(@REMOVE,@TOKEN)>\n"
               "<INPUT TYPE=HIDDEN NAME=TOKEN VALUE=t1><DBRESULT QUERY=lines>\n"
               "<INPUT TYPE=CHECKBOX NAME=REMOVE VALUE=@id> @item\n"
               "</DBRESULT><INPUT TYPE=SUBMIT VALUE=Remove></FORM></BODY></HTML>");
    site.Write("cartlist.htmx", "<HTML><BODY><SQL NAME=all TEXT=\"SELECT id, qty FROM cart ORDER BY id\">"
                                "<DBRESULT QUERY=all>[@id:@qty]</DBRESULT></BODY></HTML>");
    site.Write("number.htmx", "<HTML><BODY>Not a number</BODY></HTML>");
    site.Write("err.htmx", "<HTML><BODY>Error</BODY></HTML>");

    // The server passes this process's own ODBC configuration on unless told otherwise.
    std::string command = "env -u ODBCSYSINI -u ODBCINI " + Quote(kSource + "/scripts/lighttpd-serve") +
                          " start --site " + Quote(site.Dir()) +
                          " --binary " + Quote(QUORVEL_BINARY);
    for (const auto& kv : db.Environment())
        command += " --env " + Quote(kv.first + "=" + kv.second);
    bool ok;
    std::string started = Shell(command, ok);
    std::string state = Assigned(started, "QV_HTTP_STATE");
    std::string url = Assigned(started, "QV_HTTP_URL");
    ASSERT_TRUE(ok && !url.empty()) << started;

    std::string browser = Shell("timeout 120 node " + Quote(kSource + "/tests/browser/forms.js") + " " + Quote(url), ok);
    std::ifstream cgiErrors(state + "/cgi-stderr.log");
    std::stringstream errors;
    errors << cgiErrors.rdbuf();
    EXPECT_TRUE(ok) << browser << "\nstandard error of the gateway:\n" << errors.str();
    Shell(Quote(kSource + "/scripts/lighttpd-serve") + " stop " + Quote(state), ok);

    EXPECT_EQ(db.Query("SELECT id, qty, note FROM items ORDER BY id"),
              "1|8|Zo\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97\n2|7|blue\n3|1|O'Brien <&>\n");
    EXPECT_EQ(db.Query("SELECT id, token, qty FROM cart ORDER BY id"), "1|t1|3\n3|t1|1\n4|t2|5\n");
}

INSTANTIATE_TEST_SUITE_P(Drivers, ChromiumFormTest, ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

}  // namespace
