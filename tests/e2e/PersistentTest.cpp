// What only a persistent gateway can get wrong: one process serves request after request, so
// nothing of one request may reach the next, a failed or abandoned request must leave it
// serving, and it ends when told to (SIGTERM, --max-requests) only after the request it
// serves. Every site here is served persistent, whatever QV_GATEWAY_MODE says.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "e2e/DbSite.h"
#include "e2e/FaultSupport.h"
#include "e2e/PgServer.h"

namespace {

const std::string kPage = "Content-TYPE: text/html\n\n";
const std::string kToErrorPage = "Content-TYPE: text/html\nLocation: err.htm\n\n";

// The parameters of a GET request of `path`, as cgi-fcgi sends its environment.
std::map<std::string, std::string> GetRequest(const std::string& path, const std::string& query = "") {
    auto env = PassThroughEnvironment();
    env.insert({{"PATH_INFO", path}, {"QUERY_STRING", query}, {"REQUEST_METHOD", "GET"},
                {"GATEWAY_INTERFACE", "CGI/1.1"}});
    return env;
}

// A FastCGI client written out, for what cgi-fcgi does not do: keep its connection for the
// next request, or give up in the middle of one.
class RawClient {
public:
    // `mayBeRefused`: a gateway that may have stopped; Connected() tells.
    // A Unix socket's path, or 127.0.0.1:PORT.
    explicit RawClient(const std::string& socketPath, bool mayBeRefused = false)
        : fd_(::socket(socketPath.find(':') == std::string::npos ? AF_UNIX : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un unix{};
        unix.sun_family = AF_UNIX;
        std::snprintf(unix.sun_path, sizeof unix.sun_path, "%s", socketPath.c_str());
        sockaddr_in inet{};
        inet.sin_family = AF_INET;
        inet.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socketPath.find(':') != std::string::npos)
            inet.sin_port = htons(static_cast<uint16_t>(std::stoi(socketPath.substr(socketPath.find(':') + 1))));
        const bool isUnix = socketPath.find(':') == std::string::npos;
        timeval timeout = {30, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        connected_ = isUnix ? ::connect(fd_, reinterpret_cast<sockaddr*>(&unix), sizeof unix) == 0
                            : ::connect(fd_, reinterpret_cast<sockaddr*>(&inet), sizeof inet) == 0;
        EXPECT_TRUE(connected_ || mayBeRefused) << std::strerror(errno);
    }
    bool Connected() const { return connected_; }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends the first `records` of the four of a GET request: its beginning (with the flag
    // that keeps the connection, or not), its parameters, their end, the end of its body.
    void Send(const std::string& path, const std::string& query, bool keep, size_t records = 4) {
        const auto all = Records({{"PATH_INFO", path}, {"QUERY_STRING", query}, {"REQUEST_METHOD", "GET"},
                                  {"GATEWAY_INTERFACE", "CGI/1.1"}}, "", keep);
        for (size_t i = 0; i < records && i < all.size(); ++i)
            EXPECT_TRUE(SendBytes(all[i]));
    }
    bool SendBytes(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // The four parts of a request: its beginning, its parameters (in records of at most
    // 64 KiB), their end, its body likewise with its end.
    static std::vector<std::string> Records(const std::vector<std::pair<std::string, std::string>>& params,
                                            const std::string& body, bool keep) {
        auto length = [](size_t n) {
            return n < 128 ? std::string(1, static_cast<char>(n))
                           : std::string{static_cast<char>(0x80 | n >> 24), static_cast<char>(n >> 16),
                                         static_cast<char>(n >> 8), static_cast<char>(n)};
        };
        std::string pairs;
        for (const auto& p : params)
            pairs += length(p.first.size()) + length(p.second.size()) + p.first + p.second;
        auto stream = [](char type, const std::string& bytes) {
            std::string records;
            for (size_t at = 0; at < bytes.size(); at += 65535)
                records += Record(type, bytes.substr(at, 65535));
            return records;
        };
        return {Record(1, std::string("\0\1", 2) + static_cast<char>(keep) + std::string(5, '\0')), stream(4, pairs),
                Record(4, ""), stream(5, body) + Record(5, "")};
    }
    // Whether the gateway closed the connection (rather than leaving it open for 30 s).
    bool Closed() {
        char c;
        ssize_t r = ::recv(fd_, &c, 1, 0);
        return r == 0 || (r < 0 && errno == ECONNRESET);  // closed with bytes it left unread
    }
    // The response's standard output, up to the end of the request or (at least) `limit` bytes.
    std::string Read(size_t limit = std::string::npos) {
        std::string out;
        for (std::string head; out.size() < limit && (head = Take(8)).size() == 8;) {
            std::string content = Take((static_cast<unsigned char>(head[4]) << 8 | static_cast<unsigned char>(head[5])) +
                                       static_cast<unsigned char>(head[6]));
            if (head[1] == 3)  // the end of the request
                break;
            if (head[1] == 6)
                out += content.substr(0, content.size() - static_cast<unsigned char>(head[6]));
        }
        return out;
    }

private:
    static std::string Record(char type, const std::string& content) {
        return std::string{1, type, 0, 1, static_cast<char>(content.size() >> 8), static_cast<char>(content.size() & 0xff),
                           0, 0} + content;
    }
    std::string Take(size_t n) {
        std::string data(n, '\0');
        size_t got = 0;
        for (ssize_t r = 1; got < n && r > 0; got += r > 0 ? static_cast<size_t>(r) : 0)
            r = ::recv(fd_, &data[got], n - got, 0);
        return data.substr(0, got);
    }
    int fd_;
    bool connected_ = false;
};

// Clients that each send `path` on one new connection after the other, until a connection
// is refused (the gateway gone) or `rounds` are done, counting the answers by their text.
class Load {
public:
    Load(const std::string& socket, const std::string& path, int clients = 4, int rounds = 20000) {
        for (int c = 0; c < clients; ++c)
            threads_.emplace_back([=] {
                for (int i = 0; i < rounds; ++i) {
                    RawClient client(socket, true);
                    if (!client.Connected()) {
                        ++refused_;
                        return;
                    }
                    client.Send(path, "", false);
                    const std::string out = client.Read();
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++answers_[out];
                    ++count_;
                }
            });
    }
    ~Load() { Join(); }
    void Join() {
        for (auto& t : threads_)
            if (t.joinable())
                t.join();
    }
    // Waits (bounded) until `n` more answers than now have come.
    void WaitAnswers(int n) {
        const int until = count_ + n;
        for (int i = 0; i < 6000 && count_ < until; ++i)
            ::usleep(10 * 1000);
    }
    int Refused() const { return refused_; }
    std::map<std::string, int> Answers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return answers_;
    }

private:
    std::vector<std::thread> threads_;
    std::atomic<int> count_{0}, refused_{0};
    std::mutex mutex_;
    std::map<std::string, int> answers_;  // "" for a connection closed unanswered
};

// A gateway of its own, started in `site` with these arguments.
std::unique_ptr<FastCgiGateway> StartIn(const E2eSite& site, const std::vector<std::string>& args = {}) {
    return std::make_unique<FastCgiGateway>(site.Dir(), PassThroughEnvironment(), args);
}

class PersistentIsolation : public ::testing::TestWithParam<DbKind> {};

// One site, one process: each request below would show what an earlier one left behind.
TEST_P(PersistentIsolation, NothingOfARequestReachesTheNext) {
    std::string why;
    if (GetParam() == DbKind::kPostgres && !EnsurePostgres(why))
        FAIL() << why;
    QV_SKIP_WITHOUT_DB(GetParam());
    DbSite db(GetParam(), GatewayMode::kFastCgi);
    db.Exec("CREATE TABLE items (id INTEGER PRIMARY KEY, qty INTEGER CHECK (qty <> 13))");
    db.Exec("INSERT INTO items VALUES (1, 1), (2, 1), (3, 1)");
    E2eSite& site = db.Site();
    const std::string config = "_HTMX_PATH_=. _ERR_URL_=err.htm _CONNECT_=\"" + db.Connect() + "\" ";
    site.Write("quorvel.cfg", config);
    // A variable, a CGI variable, the process serving the request and what reaches its
    // programs' environment.
    site.Write("who.sh", "#!/bin/sh\nprintf '%s %s\\377' \"$PPID\" \"${HTTP_X_TOKEN-unset}\"\n", 0755);
    site.Write("v.htmx", "<HTML>@V|@_REMOTE_USER_|<FUNCTION COMMAND=./who.sh></HTML>");
    site.Write("list.htmx", "<HTML><SQL NAME=l TEXT=\"SELECT id, qty FROM items ORDER BY id\">"
                            "<DBRESULT QUERY=l>[@id:@qty]</DBRESULT></HTML>");
    site.Write("save.htmx", "<HTML><SQL NAME=s TEXT=\"UPDATE items SET qty = ? WHERE id = ?\" ERROR_URL=dberr.htm>"
                            "<FORM SQLACTION=s ACTION=done.htm PARAM=(@QTY,@ID)><DBRESULT QUERY=rows>"
                            "<INPUT NAME=ID><INPUT NAME=QTY></DBRESULT></FORM></HTML>");
    // What a request can leave in its database session: a temporary table (here one that
    // hides the table of the same name), a prepared statement, a variable or setting, a
    // session lock; each must be gone for the next request.
    const DbKind kind = GetParam();
    const bool pg = kind == DbKind::kPostgres, maria = kind == DbKind::kMariadb;
    site.Write("state.htmx", std::string("<HTML><SQL NAME=s TEXT=\"UPDATE items SET qty = qty WHERE id = ?;"
                                         " CREATE TEMPORARY TABLE items (id INTEGER, qty INTEGER)") +
                                 (pg ? "; PREPARE left_plan AS SELECT 1" : maria ? "; PREPARE left_plan FROM 'SELECT 1'" : "") +
                                 "\"><FORM SQLACTION=s ACTION=done.htm PARAM=(@ID)><INPUT NAME=ID></FORM></HTML>");
    site.Write("set.htmx", std::string("<HTML><SQL NAME=q TEXT=\"SELECT ") +
                               (pg ? "set_config('app.who', 'al', false) AS w, pg_advisory_lock(734211) AS l"
                                   : maria ? "'al' AS w, GET_LOCK('qv_left_over', 0) AS l" : "'al' AS w") +
                               "\"><DBRESULT QUERY=q>@w</DBRESULT></HTML>");
    site.Write("look.htmx", std::string("<HTML><SQL NAME=q TEXT=\"SELECT ") +
                                (pg ? "(SELECT count(*) FROM pg_prepared_statements WHERE name = 'left_plan') +"
                                      " (SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND objid = 734211)"
                                      " AS n, current_setting('app.who', true) AS who"
                                    : maria ? "COALESCE(IS_USED_LOCK('qv_left_over'), 0) AS n, '' AS who"
                                            : "0 AS n, '' AS who") +
                                "\"><DBRESULT QUERY=q>[@n:@who]</DBRESULT></HTML>");
    site.Write("killed.sh", "#!/bin/sh\nprintf 'half'\nkill -9 $$\n", 0755);
    site.Write("slow.sh", "#!/bin/sh\nprintf 'slow'\nsleep 30\n", 0755);
    site.Write("k.htmx", "<HTML><FUNCTION COMMAND=./killed.sh></HTML>");
    site.Write("s.htmx", "<HTML><FUNCTION COMMAND=./slow.sh></HTML>");
    // Sends a GET request, or a POST request when there is a body.
    auto request = [&](const std::string& path, const std::string& query, const std::string& body,
                       const std::map<std::string, std::string>& extra = {}) {
        auto env = db.Environment();
        env.insert(extra.begin(), extra.end());
        if (body.empty())
            return site.Get(path, query, env).out;
        env.insert({{"PATH_INFO", path}, {"REQUEST_METHOD", "POST"}, {"GATEWAY_INTERFACE", "CGI/1.1"},
                    {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                    {"CONTENT_LENGTH", std::to_string(body.size())}});
        return site.Run(env, body).out;
    };
    const std::string first = request("v.htmx", "V=query", "", {{"HTTP_X_TOKEN", "secret"}, {"REMOTE_USER", "al"}});
    const std::string pid = first.substr(first.rfind('|') + 1, first.rfind(' ') - first.rfind('|') - 1);
    ASSERT_EQ(first, kPage + "<HTML>query|al|" + pid + " secret</HTML>");
    auto later = [&pid](const std::string& v) { return kPage + "<HTML>" + v + "||" + pid + " unset</HTML>"; };
    const std::string form = "_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___3&ID=1&QTY=5&ID___2=2&ID___3=3&QTY___3=7";
    const struct {
        const char* what;
        const char* config;  // added for this request
        const char* path;
        std::string query, body, out;
    } steps[] = {
        {"a query variable", "", "v.htmx", "", "", kToErrorPage},
        {"a body variable", "", "v.htmx", "", "V=body", later("body")},
        {"after the body", "", "v.htmx", "", "", kToErrorPage},
        {"debugging", "_DEBUG_=TRUE", "v.htmx", "V=d", "", later("d")},
        {"after debugging", "", "v.htmx", "V=e", "", later("e")},
        {"a form whose second row fails", "", "save.htmx", form + "&QTY___2=13", "",
         "Content-TYPE: text/html\nLocation: dberr.htm\n\n"},
        {"after the failed form", "", "list.htmx", "", "", kPage + "<HTML>[1:1][2:1][3:1]</HTML>"},
        {"a program killed", "", "k.htmx", "", "", kToErrorPage},
        {"a program out of time", "_PROGRAM_TIMEOUT_=0.5", "s.htmx", "", "", kToErrorPage},
        {"after the failures", "", "v.htmx", "V=f", "", later("f")},
        {"a form stored", "", "save.htmx", form + "&QTY___2=2", "", "Content-TYPE: text/html\nLocation: done.htm\n\n"},
        {"after the stored form", "", "list.htmx", "", "", kPage + "<HTML>[1:5][2:2][3:7]</HTML>"},
        {"session state from a form", "", "state.htmx", "_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___1&ID=1", "",
         "Content-TYPE: text/html\nLocation: done.htm\n\n"},
        {"after the session state form", "", "list.htmx", "", "", kPage + "<HTML>[1:5][2:2][3:7]</HTML>"},
        {"prepared statement gone", "", "look.htmx", "", "", kPage + "<HTML>[0:]</HTML>"},
        {"session state from a query", "", "set.htmx", "", "", kPage + "<HTML>al</HTML>"},
        {"after the session state query", "", "look.htmx", "", "", kPage + "<HTML>[0:]</HTML>"},
    };
    for (const auto& step : steps) {
        site.Write("quorvel.cfg", config + step.config);
        std::string got = request(step.path, step.query, step.body);
        size_t listing = got.find("\n\n<!-- Symbol Table Listing");
        EXPECT_EQ(got.substr(0, listing), step.out) << step.what;
        EXPECT_EQ(listing != std::string::npos, std::string(step.config) == "_DEBUG_=TRUE") << step.what;
    }
    EXPECT_EQ(std::to_string(site.GatewayPid()), pid) << "one process served every request";
}

// Options it cannot use end the process at once, with a message, having bound nothing; the
// site folder may be another than the working directory.
TEST(PersistentTest, CommandLine) {
    E2eSite site(GatewayMode::kCgi), other(GatewayMode::kCgi);
    const std::string socket = other.Path("socket");
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* says;
    } cases[] = {
        {{"--fastcgi"}, 2, "usage:"},
        {{"--fastcgi", socket, "--max-requests", "0"}, 2, "usage:"},
        {{"--fastcgi", socket, "--max-requests", "3x"}, 2, "usage:"},
        {{"--fastcgi", socket, "--fastcgi", socket}, 2, "usage:"},
        {{"--fastcgi", socket, "--bogus", "1"}, 2, "usage:"},
        {{"--max-requests", "3"}, 2, "standard input is not a listening socket"},
        {{"--fastcgi", other.Path("no-such-folder/socket")}, 1, "cannot listen on"},
        {{"--fastcgi", ":8240"}, 1, "no host before the port"},
        {{"--fastcgi", "127.0.0.1:73776"}, 1, "from 1 to 65535"},
        {{"--fastcgi", "127.0.0.1:-1"}, 1, "from 1 to 65535"},
        {{"--fastcgi", "127.0.0.1:"}, 1, "from 1 to 65535"},
        {{"--fastcgi", socket, "--site", other.Path("no-such-folder")}, 1, "cannot serve"},
    };
    for (const auto& c : cases) {
        GatewayRun r = RunCommand(c.args, PassThroughEnvironment(), site.Dir());
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << line << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << r.err;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_FALSE(other.Exists("socket")) << line;
    }
    // Any free port: the one it got is said (the run is ended after a second).
    GatewayRun any = RunCommand({"--fastcgi", "127.0.0.1:0"}, PassThroughEnvironment(), site.Dir(), 1);
    EXPECT_EQ(any.err.rfind("quorvel: listening on 127.0.0.1:", 0), 0u) << any.err;
    EXPECT_GT(std::atoi(any.err.c_str() + std::strlen("quorvel: listening on 127.0.0.1:")), 0) << any.err;
    site.Write("t.htmx", "<HTML>served</HTML>");
    FastCgiGateway gateway(other.Dir(), PassThroughEnvironment(), {"--site", site.Dir()});
    EXPECT_EQ(gateway.Request(GetRequest("t.htmx"), "", 30).out, kPage + "<HTML>served</HTML>");
    ExpectCleanEnd(gateway.Stop(), gateway.Errors(), "the gateway of another folder");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx\n");
}

TEST(PersistentTest, MaxRequestsEndsTheProcessAfterThatMany) {
    E2eSite site(GatewayMode::kCgi);  // its folder only
    site.Write("t.htmx", "<HTML>@n</HTML>");
    auto gateway = StartIn(site, {"--max-requests", "3"});
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(gateway->WaitEnd(0), -1) << "ended after " << n - 1 << " requests";
        EXPECT_EQ(gateway->Request(GetRequest("t.htmx", "n=" + std::to_string(n)), "", 30).out,
                  kPage + "<HTML>" + std::to_string(n) + "</HTML>");
        if (n == 1) {  // a reload counts on
            ::kill(gateway->Pid(), SIGUSR2);
            for (int i = 0; i < 3000 && gateway->Errors().find("reloading") == std::string::npos; ++i)
                ::usleep(10 * 1000);
        }
    }
    ExpectCleanEnd(gateway->WaitEnd(60000), gateway->Errors(), "the gateway after three requests");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx?n=1\nt.htmx?n=2\nt.htmx?n=3\n");
}

// Told to stop while a program of the request runs, the gateway answers that request whole,
// then exits with status 0.
TEST(PersistentTest, StopSignalLetsTheRequestFinish) {
    E2eSite site(GatewayMode::kCgi);
    site.Write("slow.sh", "#!/bin/sh\ntouch started\nsleep 1\nprintf 'slept\\377'\n", 0755);
    site.Write("t.htmx", "<HTML><FUNCTION COMMAND=./slow.sh></HTML>");
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        site.Remove("started");
        auto gateway = StartIn(site);
        GatewayRun run;
        std::thread client([&] { run = gateway->Request(GetRequest("t.htmx"), "", 30); });
        for (int i = 0; i < 1000 && !site.Exists("started"); ++i)
            ::usleep(10 * 1000);
        EXPECT_TRUE(site.Exists("started")) << "signal " << signal;
        ::kill(gateway->Pid(), signal);
        client.join();
        EXPECT_EQ(run.out, kPage + "<HTML>slept</HTML>") << "signal " << signal;
        ExpectCleanEnd(gateway->WaitEnd(60000), gateway->Errors(), "the gateway told to stop");
    }
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx\nt.htmx\nt.htmx\n");
    // A request still arriving is answered when the rest of it comes at once, and waited for
    // a second at most when it does not.
    site.Write("quorvel.cfg", "_REQUEST_TIMEOUT_=3600");
    site.Write("t.htmx", "<HTML>whole</HTML>");
    for (bool rest : {true, false}) {
        auto gateway = StartIn(site);
        RawClient client(gateway->Socket());
        client.Send("t.htmx", "", false, 1);
        ::usleep(200 * 1000);  // for the gateway to take the connection
        ::kill(gateway->Pid(), SIGTERM);
        const auto all = RawClient::Records({{"PATH_INFO", "t.htmx"}, {"REQUEST_METHOD", "GET"}}, "", false);
        for (size_t i = 1; rest && i < all.size(); ++i)
            EXPECT_TRUE(client.SendBytes(all[i]));
        EXPECT_EQ(client.Read(), rest ? kPage + "<HTML>whole</HTML>" : "");
        ExpectCleanEnd(gateway->WaitEnd(60000), gateway->Errors(), "the gateway told to stop while a request arrives");
    }
}

// A client that goes away in the middle of its request, or of a response larger than the
// socket holds, ends neither the process (SIGPIPE) nor its service.
TEST(PersistentTest, ClientGoneMidRequestOrMidResponse) {
    E2eSite site(GatewayMode::kCgi);
    const std::string big = "<HTML>" + std::string(4 << 20, 'x') + "</HTML>";
    site.Write("big.htmx", big);
    site.Write("t.htmx", "<HTML>ok</HTML>");
    auto gateway = StartIn(site);
    const struct {
        const char* what;
        size_t records, keep;
    } cases[] = {
        {"gone after the request's first record", 1, 0},
        {"gone before the end of the body", 3, 0},
        {"gone after 1000 bytes of the response", 4, 1000},
    };
    for (const auto& c : cases) {
        {
            RawClient client(gateway->Socket());
            client.Send("big.htmx", "", false, c.records);
            client.Read(c.keep);
        }
        EXPECT_EQ(gateway->Request(GetRequest("t.htmx"), "", 30).out, kPage + "<HTML>ok</HTML>") << c.what;
        EXPECT_EQ(gateway->WaitEnd(0), -1) << c.what;
    }
    // The whole answer, read by the test's own client: cgi-fcgi has been seen to lose its
    // place in a 4 MB answer on a loaded machine.
    RawClient whole(gateway->Socket());
    whole.Send("big.htmx", "", false);
    EXPECT_EQ(whole.Read(), kPage + big);
    ExpectCleanEnd(gateway->Stop(), gateway->Errors(), "the gateway");
}

// A web server that keeps its connection sends the next request on it; a connection that
// another client opens meanwhile is served as well.
TEST(PersistentTest, ConnectionKeptByTheWebServer) {
    E2eSite site(GatewayMode::kCgi);
    site.Write("t.htmx", "<HTML>@n</HTML>");
    auto gateway = StartIn(site);
    RawClient kept(gateway->Socket());
    for (const char* n : {"1", "2"}) {
        kept.Send("t.htmx", std::string("n=") + n, true);
        EXPECT_EQ(kept.Read(), kPage + "<HTML>" + n + "</HTML>");
    }
    // The statistics log rotated away between requests: the next line starts a new one.
    ASSERT_EQ(std::rename(site.Path("qvstat.log").c_str(), site.Path("rotated.log").c_str()), 0);
    EXPECT_EQ(gateway->Request(GetRequest("t.htmx", "n=3"), "", 30).out, kPage + "<HTML>3</HTML>");
    ExpectCleanEnd(gateway->Stop(), gateway->Errors(), "the gateway");
    EXPECT_EQ(site.StatsWithoutTimestamps(), "t.htmx?n=3\n");
    const std::string rotated = site.Read("rotated.log");
    EXPECT_EQ(std::count(rotated.begin(), rotated.end(), '\n'), 2) << rotated;
}

// Every byte of a FastCGI request is hostile: a connection that sends nothing or half a
// request is closed once _REQUEST_TIMEOUT_ has passed, parameters are bounded like a body,
// a body left unread ends its kept connection after the answer (a shorter one keeps it), and
// of the names a client sends only CGI meta-variables and HTTP_* reach a program.
TEST(PersistentTest, FastCgiInputIsBoundedInTimeSizeAndNames) {
    E2eSite site(GatewayMode::kCgi);
    site.Write("quorvel.cfg", "_REQUEST_TIMEOUT_=0.5 _ERR_URL_=err.htm");
    site.Write("t.htmx", "<HTML>@V</HTML>");
    site.Write("env.sh", "#!/bin/sh\nprintf '%s|%s|%s|%s\\377' \"$PATH\" \"${LD_PRELOAD-unset}\" \"${FOO-unset}\" "
                         "\"${HTTP_X_OK-unset}\"\n", 0755);
    site.Write("env.htmx", "<HTML><FUNCTION COMMAND=./env.sh></HTML>");
    auto gateway = StartIn(site);
    using Params = std::vector<std::pair<std::string, std::string>>;
    auto request = [](const std::string& path, Params more, const std::string& body = "", bool keep = false) {
        Params p = {{"PATH_INFO", path}, {"REQUEST_METHOD", body.empty() ? "GET" : "POST"},
                    {"GATEWAY_INTERFACE", "CGI/1.1"}, {"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
        p.insert(p.end(), more.begin(), more.end());
        std::string bytes;
        for (const std::string& r : RawClient::Records(p, body, keep))
            bytes += r;
        return bytes;
    };
    Params many;
    for (int i = 0; i < 70000; ++i)
        many.emplace_back("P" + std::to_string(i), "1");
    const std::string refused = "Status: 400 Bad Request\nContent-TYPE: text/html\n\n<HTML>Error 38: "
                                "Syntax error in query string specified in URL</HTML>\n";
    const std::string toError = "Content-TYPE: text/html\nStatus: 302 Found\nLocation: err.htm\n\n";
    const std::string half = request("t.htmx", {}).substr(0, 30);
    const struct {
        const char* what;
        std::string bytes, answer;
        bool kept;  // the connection serves a next request; else the gateway closed it
    } cases[] = {
        {"nothing sent", "", "", false},
        {"half a parameter record", half, "", false},
        {"70000 parameters", request("t.htmx", many), refused, false},
        {"a value of 2 MiB", request("t.htmx", {{"HTTP_X", std::string(2 << 20, 'x')}}), refused, false},
        {"PATH, LD_PRELOAD and another name", request("env.htmx", {{"PATH", "/nowhere"}, {"LD_PRELOAD", "/nowhere.so"},
                                                                   {"FOO", "bar"}, {"HTTP_X_OK", "1"}}),
         kPage + "<HTML>" + PassThroughEnvironment()["PATH"] + "|unset|unset|1</HTML>", false},
        {"a body over the bound, kept", request("t.htmx", {{"CONTENT_LENGTH", "1100000"}}, std::string(1100000, 'x'), true),
         toError, false},
        {"a length over the bound, kept", request("t.htmx", {{"CONTENT_LENGTH", "2000000"}}, "V=1", true), toError, true},
    };
    for (const auto& c : cases) {
        RawClient client(gateway->Socket());
        std::thread sender([&] { client.SendBytes(c.bytes); });  // may be cut short by design
        EXPECT_EQ(client.Read(), c.answer) << c.what;
        sender.join();
        if (c.kept) {
            client.Send("t.htmx", "V=next", true);
            EXPECT_EQ(client.Read(), kPage + "<HTML>next</HTML>") << c.what;
        } else {
            EXPECT_TRUE(client.Closed()) << c.what;
        }
        EXPECT_EQ(gateway->Request(GetRequest("t.htmx", "V=ok"), "", 30).out, kPage + "<HTML>ok</HTML>") << c.what;
    }
    ExpectCleanEnd(gateway->Stop(), gateway->Errors(), "the gateway");
    EXPECT_NE(gateway->Errors().find("no whole request within 0.5 s"), std::string::npos) << gateway->Errors();
}

// A PostgreSQL server restarted between requests: the kept connection is noticed dead and
// opened again, for a page and for a form (whose rows are stored once).
TEST(PersistentTest, ReconnectAfterPostgresRestart) {
    std::unique_ptr<PrivatePostgres> server = PrivatePostgres::Start();
    if (!server) {
        const char* require = std::getenv("QV_REQUIRE_PG");
        if (require && std::string(require) == "1")
            FAIL() << "no PostgreSQL server could be started here";
        GTEST_SKIP() << "no PostgreSQL server could be started here";
    }
    server->Sql("CREATE TABLE items (id int PRIMARY KEY); INSERT INTO items VALUES (1), (2);");
    OdbcTestEnv odbc;
    odbc.AddSource("priv=" + server->Definition());
    E2eSite site(GatewayMode::kFastCgi);
    site.Write("quorvel.cfg", "_ERR_URL_=err.htm _CONNECT_=\"priv:quorvel/quorvel\"");
    site.Write("list.htmx", "<HTML><SQL NAME=l TEXT=\"SELECT id FROM items ORDER BY id\">"
                            "<DBRESULT QUERY=l>[@id]</DBRESULT></HTML>");
    site.Write("add.htmx", "<HTML><SQL NAME=a TEXT=\"INSERT INTO items VALUES (?)\" ERROR_URL=dberr.htm>"
                           "<FORM SQLACTION=a ACTION=done.htm PARAM=(@ID)><INPUT NAME=ID></FORM></HTML>");
    const std::map<std::string, std::string> env = {{"ODBCSYSINI", odbc.Dir()}};
    EXPECT_EQ(site.Get("list.htmx", "", env).out, kPage + "<HTML>[1][2]</HTML>");
    const pid_t pid = site.GatewayPid();
    server->Stop();
    ASSERT_TRUE(server->Restart());
    EXPECT_EQ(site.Get("list.htmx", "", env).out, kPage + "<HTML>[1][2]</HTML>");
    server->Stop();
    ASSERT_TRUE(server->Restart());
    EXPECT_EQ(site.Get("add.htmx", "_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___1&ID=3", env).out,
              "Content-TYPE: text/html\nLocation: done.htm\n\n");
    EXPECT_EQ(server->Sql("SELECT id FROM items ORDER BY id;"), "1\n2\n3\n");
    EXPECT_EQ(site.GatewayPid(), pid);
    EXPECT_EQ(site.StatsWithoutTimestamps(), "list.htmx\nlist.htmx\nadd.htmx?_POST_PROCESS_=done.htm&_MAX_NAME_MODIFIER_=___1&ID=3\n");
}

// Told to stop while clients keep sending, the gateway ends soon after (the clients find it
// gone long before their rounds are done), having answered every connection it took whole.
TEST(PersistentTest, StopUnderLoadAnswersEveryConnectionTaken) {
    E2eSite site(GatewayMode::kCgi);
    site.Write("ok.sh", "#!/bin/sh\nprintf 'ok\\377'\n", 0755);  // for more clients than it serves
    site.Write("t.htmx", "<HTML><FUNCTION COMMAND=./ok.sh></HTML>");
    auto gateway = StartIn(site);
    // The same on a TCP socket of its own, whose port it names.
    const pid_t tcp = StartInBackground({"--fastcgi", "127.0.0.1:0"}, PassThroughEnvironment(), site.Dir(),
                                        site.Path("tcp.log"));
    std::string port;
    for (int i = 0; i < 3000 && port.empty(); ++i) {
        ::usleep(10 * 1000);
        const std::string log = site.Exists("tcp.log") ? site.Read("tcp.log") : "";
        const size_t at = log.find("listening on 127.0.0.1:"), end = log.find('\n', at);
        if (at != std::string::npos && end != std::string::npos)
            port = log.substr(at + 23, end - at - 23);
    }
    ASSERT_FALSE(port.empty()) << site.Read("tcp.log");
    for (const std::string& address : {gateway->Socket(), "127.0.0.1:" + port}) {
        Load load(address, "t.htmx", 16, 1000);
        load.WaitAnswers(200);
        if (address == gateway->Socket()) {
            ::kill(gateway->Pid(), SIGTERM);
            ExpectCleanEnd(gateway->WaitEnd(60000), gateway->Errors(), "the gateway stopped under load");
        } else {
            ::kill(tcp, SIGTERM);
            int status = -1;
            for (int i = 0; i < 6000 && ::waitpid(tcp, &status, WNOHANG) == 0; ++i)
                ::usleep(10 * 1000);
            if (status == -1)
                ::kill(tcp, SIGKILL);  // a gateway that hangs
            ExpectCleanEnd(WIFEXITED(status) ? WEXITSTATUS(status) : -1, site.Read("tcp.log"), "on TCP");
        }
        load.Join();
        EXPECT_EQ(load.Refused(), 16) << address;
        auto answers = load.Answers();
        EXPECT_GE(answers[kPage + "<HTML>ok</HTML>"], 200) << address;
        EXPECT_EQ(answers.size(), 1u) << address << ", unanswered: " << answers[""];
    }
    ::waitpid(tcp, nullptr, 0);
}

// A reload (SIGUSR2, or the ODBC files changing) under load: not one request fails, the
// process stays, and after the change the data source is the one odbc.ini names now.
TEST(PersistentTest, ReloadUnderLoadFailsNoRequest) {
    OdbcTestEnv odbc;
    const std::string a = odbc.CreateSqliteSource("src");
    const std::string b = odbc.Dir() + "/other.db";
    std::ofstream(b).flush();
    E2eSite site(GatewayMode::kCgi);
    site.Write("quorvel.cfg", "_CONNECT_=\"src:/\"");
    site.Write("t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT file FROM pragma_database_list WHERE name='main'\">"
                         "<DBRESULT QUERY=q>[@file]</DBRESULT></HTML>");
    auto env = PassThroughEnvironment();
    env["ODBCSYSINI"] = odbc.Dir();
    FastCgiGateway gateway(site.Dir(), env);
    const std::string fromA = kPage + "<HTML>[" + a + "]</HTML>", fromB = kPage + "<HTML>[" + b + "]</HTML>";
    Load load(gateway.Socket(), "t.htmx");
    load.WaitAnswers(100);
    ::kill(gateway.Pid(), SIGUSR2);
    for (int i = 0; i < 3000 && gateway.Errors().find("SIGUSR2: reloading") == std::string::npos; ++i)
        ::usleep(10 * 1000);
    load.WaitAnswers(100);
    std::string environ;
    std::getline(std::ifstream("/proc/" + std::to_string(gateway.Pid()) + "/environ"), environ, '\1');
    EXPECT_NE(environ.find("QUORVEL_RELOADED="), std::string::npos) << "not executed again";
    // The data source moved to another file, written whole beside and renamed into place.
    std::string ini;
    std::getline(std::ifstream(odbc.Dir() + "/odbc.ini"), ini, '\0');
    ini.replace(ini.find(a), a.size(), b);
    std::ofstream(odbc.Dir() + "/odbc.ini.new") << ini;
    ASSERT_EQ(std::rename((odbc.Dir() + "/odbc.ini.new").c_str(), (odbc.Dir() + "/odbc.ini").c_str()), 0);
    for (int i = 0; i < 3000 && load.Answers()[fromB] == 0; ++i)
        ::usleep(10 * 1000);
    load.WaitAnswers(100);
    ::kill(gateway.Pid(), SIGTERM);
    ExpectCleanEnd(gateway.WaitEnd(60000), gateway.Errors(), "the reloaded gateway");
    load.Join();
    auto answers = load.Answers();
    EXPECT_GE(answers[fromA], 200);
    EXPECT_GE(answers[fromB], 100);
    EXPECT_EQ(answers.size(), 2u) << "unanswered: " << answers[""];
    EXPECT_NE(gateway.Errors().find("files changed; reloading"), std::string::npos) << gateway.Errors();
}

// Data-source files changed while no request comes: the waiting process reloads at once,
// told by its watch over their folder, without a connection to look before.
TEST(PersistentTest, DataSourceChangedWhileIdleReloadsAtOnce) {
    OdbcTestEnv odbc;
    odbc.CreateSqliteSource("idle");
    E2eSite site(GatewayMode::kCgi);
    site.Write("quorvel.cfg", "_CONNECT_=\"idle:/\"");
    site.Write("t.htmx", "<HTML><SQL NAME=q TEXT=\"SELECT 1 AS one\"><DBRESULT QUERY=q>[@one]</DBRESULT></HTML>");
    auto env = PassThroughEnvironment();
    env["ODBCSYSINI"] = odbc.Dir();
    FastCgiGateway gateway(site.Dir(), env);
    EXPECT_EQ(gateway.Request(GetRequest("t.htmx"), "", 30).out, kPage + "<HTML>[1]</HTML>");
    odbc.CreateSqliteSource("added");
    for (int i = 0; i < 3000 && gateway.Errors().find("files changed; reloading") == std::string::npos; ++i)
        ::usleep(10 * 1000);
    EXPECT_NE(gateway.Errors().find("files changed; reloading"), std::string::npos) << gateway.Errors();
    EXPECT_EQ(gateway.Request(GetRequest("t.htmx"), "", 30).out, kPage + "<HTML>[1]</HTML>");
}

INSTANTIATE_TEST_SUITE_P(Drivers, PersistentIsolation, ::testing::Values(DbKind::kSqlite, DbKind::kPostgres, DbKind::kMariadb),
                         DbKindName);

}  // namespace
