// Load through a real web server: lighttpd on 127.0.0.1 runs the gateway for a few hundred
// clients at once, each loading an order form and submitting it. Every response must be
// right, every order stored exactly once, every statistics line present and whole, and no
// process may be left behind. Bounded in count and time; on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "e2e/DbSite.h"
#include "e2e/FormBrowser.h"
#include "e2e/PgServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Clients, each one page request and one submission, all started at the same moment.
constexpr int kClients = 240;
constexpr int kItems = 5;

const char kSchema[] =
    "CREATE TABLE items (id INTEGER PRIMARY KEY);"
    "INSERT INTO items VALUES (1);INSERT INTO items VALUES (2);INSERT INTO items VALUES (3);"
    "INSERT INTO items VALUES (4);INSERT INTO items VALUES (5);"
    "CREATE TABLE orders (order_id INTEGER, item INTEGER, qty INTEGER,"
    " PRIMARY KEY (order_id, item));";

const char kOrderPage[] =
    "<HTML><BODY><H1>Order @ORDER</H1>"
    "<SQL NAME=items TEXT=\"SELECT id FROM items ORDER BY id\">"
    "<SQL NAME=save TEXT=\"INSERT INTO orders (order_id, item, qty) VALUES (?, ?, ?)\" ERROR_URL=dberr.htm>"
    "<FORM SQLACTION=save ACTION=done.htm METHOD=POST PARAM=(@ORDER,@ITEM,@QTY)>"
    "<INPUT TYPE=HIDDEN NAME=ORDER VALUE=@ORDER>"
    "<DBRESULT QUERY=items><P>Item @id <INPUT TYPE=HIDDEN NAME=ITEM VALUE=@id>"
    "<INPUT NAME=QTY DATATYPE=(NUMBER,bad.htm)></DBRESULT>"
    "</FORM></BODY></HTML>";

// lighttpd serving the site through scripts/lighttpd-serve, stopped on destruction.
class WebServer {
public:
    WebServer(const std::string& site, const std::string& odbcDir) {
        std::string command = std::string(QUORVEL_SOURCE_DIR) + "/scripts/lighttpd-serve start --site '" + site +
                              "' --binary '" + QUORVEL_BINARY + "' --env ODBCSYSINI=" + odbcDir;
        for (const char* pass : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* v = std::getenv(pass))
                command += std::string(" --env '") + pass + "=" + v + "'";
        FILE* p = ::popen((command + " 2>&1").c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n;
        while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        if (p)
            ::pclose(p);
        state_ = Value(out, "QV_HTTP_STATE");
        port_ = std::atoi(Value(out, "QV_HTTP_PORT").c_str());
        startOutput_ = out;
    }
    ~WebServer() { Stop(); }
    void Stop() {
        if (state_.empty())
            return;
        std::string command = std::string(QUORVEL_SOURCE_DIR) + "/scripts/lighttpd-serve stop '" + state_ + "'";
        if (std::system(command.c_str()) != 0) {
        }
        state_.clear();
    }
    bool Running() const { return port_ > 0 && !state_.empty(); }
    int Port() const { return port_; }
    const std::string& State() const { return state_; }
    const std::string& StartOutput() const { return startOutput_; }

private:
    static std::string Value(const std::string& out, const std::string& name) {
        size_t p = out.find(name + "=");
        if (p == std::string::npos)
            return "";
        p += name.size() + 1;
        return out.substr(p, out.find('\n', p) - p);
    }
    std::string state_, startOutput_;
    int port_ = 0;
};

std::string Link(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Processes running `binary` (by /proc/PID/exe) in the directory `cwd`.
std::vector<int> ProcessesOf(const std::string& binary, const std::string& cwd) {
    std::vector<int> found;
    char real[4096];
    std::string target = ::realpath(binary.c_str(), real) ? real : binary;
    std::string dir = ::realpath(cwd.c_str(), real) ? real : cwd;
    if (DIR* d = ::opendir("/proc")) {
        while (dirent* e = ::readdir(d)) {
            int pid = std::atoi(e->d_name);
            if (pid <= 0)
                continue;
            std::string proc = "/proc/" + std::string(e->d_name);
            if (Link(proc + "/exe") == target && Link(proc + "/cwd") == dir)
                found.push_back(pid);
        }
        ::closedir(d);
    }
    return found;
}

std::string Quantity(int client, int row) { return std::to_string((client * 7 + row) % 97 + 1); }

class LoadTest : public ::testing::TestWithParam<DbKind> {};

TEST_P(LoadTest, ConcurrentPagesAndSubmissionsLoseNothing) {
    std::string why;
    if (GetParam() == DbKind::kPostgres && !EnsurePostgres(why))
        FAIL() << why;
    QV_SKIP_WITHOUT_DB(GetParam());
    DbSite db(GetParam());
    db.Exec(kSchema);
    // A few hundred connections at once on a small machine (with sanitizers, next to other
    // tests) may wait their turn longer than the sources' usual 10 s.
    {
        std::ifstream in(db.Odbc().Dir() + "/odbc.ini");
        std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t p = ini.find("connect_timeout=10"); p != std::string::npos; p = ini.find("connect_timeout=10", p))
            ini.replace(p, 18, "connect_timeout=60");
        std::ofstream(db.Odbc().Dir() + "/odbc.ini") << ini;
    }
    E2eSite& site = db.Site();
    site.Write("quorvel.cfg", "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"" + db.Connect() + "\"");
    site.Write("order.htmx", kOrderPage);
    WebServer web(site.Dir(), db.Odbc().Dir());
    ASSERT_TRUE(web.Running()) << web.StartOutput();
    const int port = web.Port();
    auto pageRequest = [port](int order) {
        return "GET /cgi-bin/quorvel/order.htmx?ORDER=" + std::to_string(order) +
               " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    };

    // The page of order 9999, alone: every other order's page is this one with its number.
    HttpResponse reference = Http(port, pageRequest(9999));
    ASSERT_EQ(reference.status, 200) << reference.error << reference.headers["location"] << "\n" << site.StatsWithoutTimestamps();
    ASSERT_EQ(ReadForms(reference.body).size(), 1u) << reference.body;
    site.Remove("qvstat.log");

    std::mutex m;
    std::condition_variable go;
    bool started = false;
    std::atomic<int> inFlight{0}, maxInFlight{0};
    std::vector<std::string> failures(kClients);
    auto exchange = [&](const std::string& request) {
        int now = ++inFlight;
        for (int seen = maxInFlight; now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
        }
        HttpResponse r = Http(port, request);
        --inFlight;
        return r;
    };
    auto client = [&](int i) {
        {
            std::unique_lock<std::mutex> lock(m);
            go.wait(lock, [&] { return started; });
        }
        const int order = 1000 + i;
        HttpResponse page = exchange(pageRequest(order));
        std::string expected = reference.body;
        for (size_t p = expected.find("9999"); p != std::string::npos; p = expected.find("9999", p + 4))
            expected.replace(p, 4, std::to_string(order));
        if (page.status != 200 || page.body != expected) {
            failures[i] = "page " + std::to_string(page.status) + " " + page.error + "\n" + page.body;
            return;
        }
        std::vector<PageForm> forms = ReadForms(page.body);
        std::map<std::string, std::string> values;
        for (int row = 1; row <= kItems; ++row)
            values[row == 1 ? "QTY" : "QTY___" + std::to_string(row)] = Quantity(i, row);
        Submission s = Submit(forms.at(0), values, "POST");
        std::string action = forms[0].attributes["ACTION"];
        std::string target = action.substr(action.find('/', action.find("://") + 3));
        HttpResponse post = exchange("POST " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                     "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                     std::to_string(s.body.size()) + "\r\n\r\n" + s.body);
        if (post.status != 302 || post.headers["location"] != "done.htm")
            failures[i] = "submission " + std::to_string(post.status) + " to " + post.headers["location"] + " " +
                          post.error + "\n" + post.body;
    };

    auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back(client, i);
    {
        std::lock_guard<std::mutex> lock(m);
        started = true;
    }
    go.notify_all();
    for (auto& t : clients)
        t.join();
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    int failed = 0;
    for (int i = 0; i < kClients; ++i)
        if (!failures[i].empty() && ++failed <= 3)
            ADD_FAILURE() << "client " << i << ": " << failures[i];
    if (failed > 0) {
        // The errors the gateway reported, once each.
        std::map<std::string, int> errors;
        std::istringstream stats(site.StatsWithoutTimestamps());
        for (std::string line; std::getline(stats, line);)
            if (line.find(' ') != std::string::npos)
                ++errors[line.substr(line.find(' ') + 1)];
        for (const auto& e : errors)
            ADD_FAILURE() << e.second << " x " << e.first;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_GE(maxInFlight.load(), 200) << "requests in flight at once";
    std::printf("[ load ] %d requests, at most %d at once, %lld ms\n", 2 * kClients, maxInFlight.load(),
                static_cast<long long>(elapsed));

    // Every order exactly once, with its own quantities.
    std::map<std::string, int> stored;
    std::istringstream rows(db.Query("SELECT order_id, item, qty FROM orders"));
    for (std::string row; std::getline(rows, row);)
        ++stored[row];
    int wrong = 0;
    for (int i = 0; i < kClients; ++i)
        for (int row = 1; row <= kItems; ++row)
            wrong += stored[std::to_string(1000 + i) + "|" + std::to_string(row) + "|" + Quantity(i, row)]-- != 1;
    for (const auto& s : stored)
        wrong += s.second > 0 ? s.second : 0;
    EXPECT_EQ(wrong, 0) << "rows missing, stored twice or not submitted";

    // One whole statistics line per request: the page's and the submission's of each order.
    std::map<std::string, int> lines;
    std::istringstream stats(site.StatsWithoutTimestamps());
    for (std::string line; std::getline(stats, line);)
        ++lines[line];
    int badLines = 0;
    for (int i = 0; i < kClients; ++i)
        badLines += std::abs(lines["/order.htmx?ORDER=" + std::to_string(1000 + i)] - 2);
    int total = 0;
    for (const auto& l : lines)
        total += l.second;
    EXPECT_EQ(badLines, 0) << "statistics lines missing or broken";
    EXPECT_EQ(total, 2 * kClients) << "statistics lines";

    // Nothing outlives the server, and nothing reported trouble on standard error.
    std::ifstream stderrLog(web.State() + "/cgi-stderr.log");
    std::string errors((std::istreambuf_iterator<char>(stderrLog)), std::istreambuf_iterator<char>());
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
    web.Stop();
    std::vector<int> left = ProcessesOf(QUORVEL_BINARY, site.Dir());
    for (int waited = 0; !left.empty() && waited < 50; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        left = ProcessesOf(QUORVEL_BINARY, site.Dir());
    }
    EXPECT_TRUE(left.empty()) << left.size() << " gateway processes left";
}

INSTANTIATE_TEST_SUITE_P(Drivers, LoadTest, ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

}  // namespace
