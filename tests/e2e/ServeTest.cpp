// The development server: `quorvel --serve 127.0.0.1:PORT` on the guestbook example
// (examples/guestbook, its own templates and schema on SQLite), asked over plain sockets.
// One table: pages, a form round trip, static files and the files it must refuse, error
// pages with their detail, and edits of the site between requests (a row may change a file
// before its request: a beginner's mistake, and what the browser and the terminal show).
// Then edits between two requests, which both persistent modes show at the next request
// whatever they keep parsed; the addresses it refuses, and headless Chromium looking at a
// page and an error page.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/DbSite.h"

namespace {

const std::string kSource = QUORVEL_SOURCE_DIR;

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The guestbook in the site of `db`, its tables made from the example's schema.
void MakeGuestbook(DbSite& db) {
    E2eSite& site = db.Site();
    ASSERT_EQ(std::system(("cp -R '" + kSource + "/examples/guestbook/site/.' '" + site.Dir() + "'").c_str()), 0);
    std::string cfg = site.Read("quorvel.cfg");
    const size_t at = cfg.find("\"guestbook:/\"");
    ASSERT_NE(at, std::string::npos) << cfg;
    site.Write("quorvel.cfg", cfg.replace(at, 13, "\"" + db.Connect() + "\""));
    std::stringstream schema(ReadFile(kSource + "/examples/guestbook/schema.sql"));
    std::string sql, line;
    while (std::getline(schema, line))
        if (line.compare(0, 2, "--") != 0)
            sql += line + "\n";
    for (size_t start = 0, end; (end = sql.find(';', start)) != std::string::npos; start = end + 1)
        db.Exec(sql.substr(start, end - start));
}

// quorvel --serve on a port below 32768 chosen at random (another, if that one is taken),
// serving `site`; stopped with SIGTERM when it goes.
class DevServer {
public:
    DevServer(const std::string& site, const std::map<std::string, std::string>& env) {
        char tmpl[] = "/tmp/qvserve-XXXXXX";
        if (!::mkdtemp(tmpl))
            throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        for (int attempt = 0; attempt < 10 && port_ == 0; ++attempt) {
            const int port = 20000 + static_cast<int>(::random() % 12000);
            pid_ = StartInBackground({"--serve", "127.0.0.1:" + std::to_string(port), "--site", site}, env, "/",
                                     Log());
            for (;;) {
                if (Output().find("Serving ") != std::string::npos) {
                    port_ = port;
                    break;
                }
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;
                    if (Output().find("cannot listen") == std::string::npos) {
                        ADD_FAILURE() << "the server ended before it listened:\n" << Output();
                        return;
                    }
                    break;
                }
                ::usleep(10 * 1000);
            }
        }
        EXPECT_GT(port_, 0) << "no free port found";
    }
    ~DevServer() {
        Stop();
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    // SIGTERM, then the exit status.
    int Stop() {
        int status = 0;
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_;
    }
    int Port() const { return port_; }
    std::string Log() const { return dir_ + "/log"; }
    std::string Output() const { return ReadFile(Log()); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

struct ServeRow {
    const char* what;
    std::string request;  // method and target, sent as they are
    std::string body;     // a form body: sent as application/x-www-form-urlencoded
    // Before the request: in `file`, `find` becomes `replace` (no `find`: the file becomes
    // `replace`); undone after it.
    std::string file, find, replace;
    int status;
    std::string has;         // in the headers ("name: value", names lower case) or the body
    std::string lacks;       // in neither
    std::string terminal;    // in what the server wrote meanwhile
};

TEST(ServeTest, GuestbookPagesFilesAndErrors) {
    DbSite db(DbKind::kSqlite);
    MakeGuestbook(db);
    E2eSite& site = db.Site();
    ASSERT_EQ(::symlink("/etc/hostname", site.Path("outside.txt").c_str()), 0);
    DevServer server(site.Dir(), db.Environment());
    ASSERT_GT(server.Port(), 0);
    const std::string sqlite = std::string("SQLite format 3\0\x10\x00", 18);
    const std::string big(1100000, 'x');

    const ServeRow rows[] = {
        {"a page: a list from a query, a value from a program", "GET /index.htmx", "", "", "", "", 200,
         "<DD>Signed from a terminal.</DD>", "a good day", "GET /index.htmx 200"},
        {"data stays text", "GET /index.htmx", "", "", "", "", 200, "&#60;b&#62;Bold&#60;/b&#62;", "<b>", ""},
        {"a folder is its index", "GET /", "", "", "", "", 200, "<DT>Ada", "", ""},
        {"a search drops its empty condition", "GET /search.htmx?WHO=&WORD=BUG", "", "", "", "", 200,
         "<DT>Grace</DT>", "<DT>Ada</DT>", ""},
        {"a form stores three entries at once", "POST /sign.htmx",
         "NAME=Zo%C3%A9&MESSAGE=Hello+%3Cthere%3E&NAME___2=Bo&MESSAGE___2=Second&NAME___3=Cy&MESSAGE___3=Third"
         "&_POST_PROCESS_=index.htmx&_MAX_NAME_MODIFIER_=___3",
         "", "", "", 302, "location: index.htmx", "", "POST /sign.htmx 302"},
        {"and the list shows them", "GET /index.htmx", "", "", "", "", 200, "<DD>Hello &#60;there&#62;</DD>", "", ""},
        {"a failing form goes to its error page", "POST /sign.htmx",
         "NAME=Al&MESSAGE=&NAME___2=&MESSAGE___2=&NAME___3=&MESSAGE___3="
         "&_POST_PROCESS_=index.htmx&_MAX_NAME_MODIFIER_=___3", "", "", "", 302,
         "location: errors/not-saved.html", "", ""},
        {"a static file", "GET /style.css", "", "", "", "", 200, "content-type: text/css", "", ""},
        {"a static page", "GET /errors/not-saved.html", "", "", "", "", 200, "nothing was stored", "", ""},
        {"a file that is missing", "GET /nothing.css", "", "", "", "", 404, "no such file", "", "404"},
        {"a file is only read", "POST /style.css", "A=1", "", "", "", 405, "", "", ""},
        {"the configuration", "GET /quorvel.cfg", "", "", "", "", 403, "", "_CONNECT_", "403"},
        {"the statistics log", "GET /qvstat.log", "", "", "", "", 403, "", "/index.htmx", ""},
        {"a log named like an asset", "GET /style.css", "", "quorvel.cfg", "[quorvel]", "[quorvel] _STAT_FILE_=style.css",
         403, "the gateway's configuration or log", "body {", ""},
        {"a database file", "GET /book.db", "", "book.db", "", sqlite, 403, "", "SQLite", ""},
        {"a database named like an asset", "GET /notes.txt", "", "notes.txt", "", sqlite, 403, "a database file",
         "SQLite", ""},
        {"a template's source", "GET /index.htmx~", "", "index.htmx~", "", "<SQL NAME=x>", 403, "", "<SQL", ""},
        {"a program", "GET /tools/today", "", "", "", "", 403, "", "printf", ""},
        {"a dotfile", "GET /.env", "", ".env", "", "SECRET=1", 403, "", "SECRET", ""},
        {"a dot folder", "GET /.git/x.css", "", ".git/x.css", "", "p{}", 403, "", "p{}", ""},
        {"a parent folder", "GET /../x.css", "", "", "", "", 403, "", "", ""},
        {"an encoded parent folder", "GET /errors/%2e%2e/%2e%2e/etc/hostname.txt", "", "", "", "", 403, "", "", ""},
        {"a malformed escape", "GET /style%zz.css", "", "", "", "", 400, "malformed", "", ""},
        {"an encoded NUL byte", "GET /style.css%00.htmx", "", "", "", "", 400, "NUL", "", ""},
        {"a link out of the site", "GET /outside.txt", "", "", "", "", 403, "symbolic link out of the site", "", ""},
        {"a body beyond the bound", "POST /sign.htmx", big, "", "", "", 413, "", "", ""},
        {"a missing template: the error and its detail", "GET /nosuch%3Cb%3E.htmx", "", "", "", "", 500,
         "Error 37: Input file specified in URL not found", "<b>",
         "Input file specified in URL not found"},
        {"escaped in the page", "GET /nosuch%3Cb%3E.htmx", "", "", "", "", 500, "/nosuch&#60;b&#62;.htmx", "", ""},
        {"a template edited between two requests", "GET /index.htmx", "", "index.htmx", "<H1>@BOOK_NAME",
         "<H1>Edited: @BOOK_NAME", 200, "<H1>Edited: The Quorvel guestbook", "", ""},
        {"a mistyped table", "GET /index.htmx", "", "index.htmx", "FROM entries", "FROM entrys", 500,
         "Error 1: Syntax or semantic error in SQL statement", "", "Syntax or semantic error in SQL statement"},
        {"an undefined variable", "GET /index.htmx", "", "index.htmx", "@BOOK_NAME</TITLE>", "@BOOKNAME</TITLE>",
         500, "BOOKNAME", "", "Variable is not defined"},
        // A beginner's mistakes: each shows on the page and names its place and cause.
        {"a mistyped column, in the database's own words", "GET /index.htmx", "", "index.htmx", "SELECT name,",
         "SELECT nme,", 500, "[SQLite]no such column: nme", "", "index.htmx:10:1: error 1"},
        {"a paragraph ended twice loses nothing after it", "GET /index.htmx", "", "index.htmx", "<H1>@BOOK_NAME</H1>",
         "<P>Line one<BR>line two</P><H2>@BOOK_NAME</H2>", 200, "<DD>Signed from a terminal.</DD>", "", ""},
        {"a program that is not there: its default", "GET /index.htmx", "", "index.htmx", "tools/today",
         "tools/tday", 200, "<B>a good day</B>", "", "tools/tday (program not found)"},
        {"a quote left open in the configuration", "GET /index.htmx", "", "quorvel.cfg", "WORD        = \"\"",
         "WORD = \"unclosed", 500, "Error 35", "", "quorvel.cfg:7:1: error 35"},
        {"an entry form with a row left blank", "POST /sign.htmx",
         "NAME=Di&MESSAGE=Fourth&NAME___2=&MESSAGE___2=&NAME___3=Ed&MESSAGE___3=Fifth"
         "&_POST_PROCESS_=index.htmx&_MAX_NAME_MODIFIER_=___3",
         "", "", "", 302, "location: index.htmx", "", ""},
    };
    for (const ServeRow& row : rows) {
        SCOPED_TRACE(row.what);
        const bool existed = !row.file.empty() && site.Exists(row.file);
        const std::string original = existed ? site.Read(row.file) : std::string();
        if (!row.file.empty()) {
            std::string edited = row.replace;
            if (!row.find.empty()) {
                edited = original;
                const size_t at = edited.find(row.find);
                ASSERT_NE(at, std::string::npos) << row.find;
                edited.replace(at, row.find.size(), row.replace);
            }
            site.Write(row.file, edited);
        }
        const size_t before = server.Output().size();
        std::string request = row.request + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
        if (row.request.compare(0, 5, "POST ") == 0)
            request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                       std::to_string(row.body.size()) + "\r\n";
        HttpResponse response = Http(server.Port(), request + "\r\n" + row.body);
        if (existed)
            site.Write(row.file, original);
        else if (!row.file.empty())
            site.Remove(row.file);
        std::string seen;
        for (const auto& header : response.headers)
            seen += header.first + ": " + header.second + "\n";
        seen += "\n" + response.body;
        EXPECT_EQ(response.status, row.status) << response.error << seen;
        EXPECT_NE(seen.find(row.has), std::string::npos) << seen;
        if (!row.lacks.empty()) {
            EXPECT_EQ(seen.find(row.lacks), std::string::npos) << seen;
        }
        const std::string said = server.Output().substr(before);
        EXPECT_NE(said.find(row.terminal), std::string::npos) << said;
    }
    EXPECT_EQ(db.Query("SELECT name, message FROM entries WHERE id > 3 ORDER BY id"),
              "Zo\xC3\xA9|Hello <there>\nBo|Second\nCy|Third\nDi|Fourth\nEd|Fifth\n");
    EXPECT_EQ(server.Stop(), 0) << server.Output();
}

// A persistent process keeps parsed templates and its configuration, and never serves an
// old page: each edit right after a request (in its second, mostly of the same size) shows at
// the next one, through FastCGI and the development server. Edits add up, row by row; before
// each, the files are let age past the clock's tick and the page is asked for, so that it is
// kept when the edit comes.
class KeptTemplates : public ::testing::TestWithParam<bool> {};  // true: --serve

TEST_P(KeptTemplates, EachEditShowsAtTheNextRequest) {
    E2eSite site(GatewayMode::kCgi);
    const char* const files[][2] = {{"quorvel.cfg", "V=1 _HTMX_PATH_=. _INCLUDE_PATH_=lib"}, {"i.htmx", "[i1]"},
                                    {"t.htmx", "<HTML>@V t1 <INCLUDE FILE=i.htmx> <INCLUDE FILE=j.htmx></HTML>"},
                                    {"lib/j.htmx", "[j1]"}, {"lib2/j.htmx", "[j2]"}, {"a.htmx", "[ia]"}, {"b.htmx", "[ib]"}};
    for (const auto& file : files)
        site.Write(file[0], file[1]);
    auto move = [&](const std::string& from, const std::string& to) {
        ASSERT_EQ(std::rename(site.Path(from).c_str(), site.Path(to).c_str()), 0) << from;
    };
    auto link = [&](const std::string& target) {
        ASSERT_EQ(::symlink(target.c_str(), site.Path("i.new").c_str()), 0);
        move("i.new", "i.htmx");
    };
    // `page` is in the answer after `edit`; a `notRoot` edit shows only to another user than root.
    const struct {
        const char* what;
        std::function<void()> edit;
        std::string page;
        bool notRoot = false;
    } rows[] = {
        {"the template edited", [&] { site.Write("t.htmx", "<HTML>@V t2 <INCLUDE FILE=i.htmx> <INCLUDE FILE=j.htmx></HTML>"); },
         "<HTML>1 t2 [i1] [j1]</HTML>"},
        {"an include edited", [&] { site.Write("i.htmx", "[i2]"); }, "<HTML>1 t2 [i2] [j1]</HTML>"},
        {"the configuration edited", [&] { site.Write("quorvel.cfg", "V=2 _HTMX_PATH_=. _INCLUDE_PATH_=lib"); },
         "<HTML>2 t2 [i2] [j1]</HTML>"},
        {"the template replaced by a rename",
         [&] { site.Write("t.new", "<HTML>@V t3 <INCLUDE FILE=i.htmx> <INCLUDE FILE=j.htmx></HTML>"), move("t.new", "t.htmx"); },
         "<HTML>2 t3 [i2] [j1]</HTML>"},
        {"an include replaced by a symbolic link", [&] { link("a.htmx"); }, "<HTML>2 t3 [ia] [j1]</HTML>"},
        {"the link swapped", [&] { link("b.htmx"); }, "<HTML>2 t3 [ib] [j1]</HTML>"},
        {"an include's name found before the include path", [&] { site.Write("j.htmx", "[j3]"); },
         "<HTML>2 t3 [ib] [j3]</HTML>"},
        {"and gone again", [&] { site.Remove("j.htmx"); }, "<HTML>2 t3 [ib] [j1]</HTML>"},
        {"the include path changed", [&] { site.Write("quorvel.cfg", "V=2 _HTMX_PATH_=. _INCLUDE_PATH_=lib2"); },
         "<HTML>2 t3 [ib] [j2]</HTML>"},
        {"an include's folder made a link through /proc to where it went",
         [&] { move("lib2", "lib3"); ASSERT_EQ(::symlink("/proc/self/cwd/lib3", site.Path("lib2").c_str()), 0); },
         "Include file is missing"},
        {"and a folder again", [&] { site.Remove("lib2"), move("lib3", "lib2"); }, "<HTML>2 t3 [ib] [j2]</HTML>"},
        {"an include removed", [&] { site.Remove("i.htmx"); }, "Include file is missing"},
        {"back", [&] { site.Write("i.htmx", "[i3]"); }, "<HTML>2 t3 [i3] [j2]</HTML>"},
        {"an include made a folder", [&] { move("i.htmx", "i.old"), ::mkdir(site.Path("i.htmx").c_str(), 0755); },
         "Include file is missing"},
        {"an include made a pipe", [&] { ::rmdir(site.Path("i.htmx").c_str()), ::mkfifo(site.Path("i.htmx").c_str(), 0644); },
         "Include file is missing"},
        {"back again", [&] { move("i.old", "i.htmx"); }, "<HTML>2 t3 [i3] [j2]</HTML>"},
        // Root reads a file of mode 000.
        {"an include made unreadable", [&] { ASSERT_EQ(::chmod(site.Path("i.htmx").c_str(), 0), 0); },
         "Include file is missing", true},
    };
    std::unique_ptr<DevServer> server(GetParam() ? new DevServer(site.Dir(), PassThroughEnvironment()) : nullptr);
    std::unique_ptr<FastCgiGateway> gateway(server ? nullptr : new FastCgiGateway(site.Dir(), PassThroughEnvironment()));
    auto page = [&] {
        if (server)
            return Http(server->Port(), "GET /t.htmx HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n").body;
        auto env = PassThroughEnvironment();
        env.insert({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "GET"}, {"GATEWAY_INTERFACE", "CGI/1.1"}});
        return gateway->Request(env, "", 30).out;
    };
    std::string before = "<HTML>1 t1 [i1] [j1]</HTML>";
    for (const auto& row : rows) {
        if (row.notRoot && ::geteuid() == 0)
            continue;
        // Every file written so far is older than the clock's tick now.
        timespec written, now;
        ::clock_gettime(CLOCK_REALTIME, &written);
        do
            ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        while (now.tv_sec < written.tv_sec || (now.tv_sec == written.tv_sec && now.tv_nsec <= written.tv_nsec));
        EXPECT_NE(page().find(before), std::string::npos) << "before " << row.what;
        row.edit();
        const std::string after = page();
        EXPECT_NE(after.find(row.page), std::string::npos) << row.what << ":\n" << after;
        before = row.page;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, KeptTemplates, ::testing::Values(false, true),
                         [](const auto& serve) { return serve.param ? "Serve" : "FastCgi"; });

TEST(ServeTest, RefusesBadAddresses) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    } rows[] = {
        {{"--serve", ":8080"}, 1, "bad address :8080"},
        {{"--serve", "8080"}, 1, "HOST:PORT"},
        {{"--serve", "127.0.0.1:0"}, 1, "1 to 65535"},
        {{"--serve", "127.0.0.1:65536"}, 1, "1 to 65535"},
        {{"--serve", "127.0.0.1:80x"}, 1, "1 to 65535"},
        {{"--serve", "no.such.host.invalid:8080"}, 1, "cannot listen on no.such.host.invalid:8080"},
        {{"--serve", "127.0.0.1:8080", "--site", "/no/such/folder"}, 1, "cannot serve /no/such/folder"},
        {{"--serve", "127.0.0.1:8080", "--max-requests", "3"}, 2, "usage:"},
    };
    for (const auto& row : rows) {
        GatewayRun run = RunCommand(row.args, PassThroughEnvironment(), "/");
        EXPECT_EQ(run.exitCode, row.exitCode) << row.args[1] << ": " << run.err;
        EXPECT_NE(run.err.find(row.says), std::string::npos) << run.err;
    }
}

TEST(ServeTest, ChromiumShowsAPageAndAnErrorPage) {
    struct stat st;
    ASSERT_EQ(::stat((kSource + "/tests/browser/node_modules/playwright-core").c_str(), &st), 0)
        << "the browser driver is missing: run scripts/setup";
    DbSite db(DbKind::kSqlite);
    MakeGuestbook(db);
    DevServer server(db.Site().Dir(), db.Environment());
    ASSERT_GT(server.Port(), 0);
    const std::string command = "timeout 120 node '" + kSource + "/tests/browser/serve.js' http://127.0.0.1:" +
                                std::to_string(server.Port()) + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_TRUE(p);
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    EXPECT_EQ(::pclose(p), 0) << out << "\nthe server wrote:\n" << server.Output();
}

}  // namespace
