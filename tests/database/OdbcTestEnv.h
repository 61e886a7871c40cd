// OdbcTestEnv: a private unixODBC configuration.
//
// Owns a temporary directory holding odbcinst.ini and odbc.ini, written by scripts/odbc-env
// (the same script the demo and the test runner use), for child processes (Variable()).
// unixODBC reads ODBCSYSINI once per process, so the test process itself uses one
// configuration only: Process(), whose sources need names unique within the process. Setup
// code that must not depend on that can connect with DriverConnectString() instead. The
// directory and every SQLite file in it are removed when the object goes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class OdbcTestEnv {
public:
    explicit OdbcTestEnv(bool forThisProcess = false) : forThisProcess_(forThisProcess) {
        std::string templ = (std::filesystem::temp_directory_path() / "qvodbc.XXXXXX").string();
        std::vector<char> buffer(templ.begin(), templ.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()))
            dir_ = buffer.data();
        Write();
    }
    ~OdbcTestEnv() {
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    OdbcTestEnv(const OdbcTestEnv&) = delete;
    OdbcTestEnv& operator=(const OdbcTestEnv&) = delete;

    // The configuration this test process's own ODBC calls read; lives until the process ends.
    static OdbcTestEnv& Process() {
        static OdbcTestEnv env(true);
        return env;
    }

    const std::string& Dir() const { return dir_; }
    // "ODBCSYSINI=<dir>", for the environment of a child process.
    std::string Variable() const { return "ODBCSYSINI=" + dir_; }

    // Adds a data source in the syntax of scripts/odbc-env (NAME=sqlite:FILE, NAME=pg:...,
    // NAME=mariadb:...).
    void AddSource(const std::string& def) {
        sources_.push_back(def);
        Write();
    }

    // Creates an empty SQLite database file and a data source NAME for it; returns the path.
    std::string CreateSqliteSource(const std::string& name) {
        std::string path = dir_ + "/" + name + ".db";
        std::ofstream(path).flush();
        AddSource(name + "=sqlite:" + path);
        return path;
    }

    // A connection string for SQLDriverConnect that reaches source `def` (as for AddSource,
    // without the name) without any ini file: the driver library named by path.
    std::string DriverConnectString(const std::string& def) const {
        std::ifstream ini(dir_ + "/odbcinst.ini");
        std::string line, section, sqlite, pg, mariadb;
        while (std::getline(ini, line)) {
            if (!line.empty() && line[0] == '[')
                section = line;
            else if (line.rfind("Driver=", 0) == 0)
                (section == "[SQLite3]" ? sqlite : section == "[MariaDB Unicode]" ? mariadb : pg) = line.substr(7);
        }
        if (def.rfind("sqlite:", 0) == 0)
            return "DRIVER=" + sqlite + ";Database=" + def.substr(7) + ";NoCreat=1;FKSupport=1";
        std::vector<std::string> f;
        for (std::size_t p = 0, q; p <= def.size(); p = q + 1) {
            q = def.find(':', p);
            if (q == std::string::npos)
                q = def.size();
            f.push_back(def.substr(p, q - p));
        }
        if (f[0] == "mariadb")
            return "DRIVER=" + mariadb + ";Server=" + (f.size() > 1 ? f[1] : "") + ";Port=" +
                   (f.size() > 2 ? f[2] : "") + ";Database=" + (f.size() > 3 ? f[3] : "") +
                   ";Charset=utf8mb4;OPTION=67108864";  // setup SQL of several statements
        std::string s = "DRIVER=" + pg + ";Servername=" + (f.size() > 1 ? f[1] : "") +
                        ";Port=" + (f.size() > 2 ? f[2] : "") + ";Database=" + (f.size() > 3 ? f[3] : "");
        if (f.size() > 4)
            s += ";ConnSettings=SET search_path TO " + f[4];
        return s;
    }

private:
    static std::string Quote(const std::string& s) {
        std::string q = "'";
        for (char c : s)
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }

    void Write() {
        ASSERT_FALSE(dir_.empty()) << "no temporary directory";
        std::string command = Quote(std::string(QUORVEL_SOURCE_DIR) + "/scripts/odbc-env") + " " +
                              Quote(dir_);
        for (const auto& s : sources_)
            command += " " + Quote(s);
        command += " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        if (forThisProcess_)
            setenv("ODBCSYSINI", dir_.c_str(), 1);
    }

    bool forThisProcess_;
    std::string dir_;
    std::vector<std::string> sources_;
};
