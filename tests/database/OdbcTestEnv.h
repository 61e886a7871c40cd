// OdbcTestEnv: a private unixODBC configuration for one test.
//
// Owns a temporary directory holding odbcinst.ini and odbc.ini, written by scripts/odbc-env
// (the same script the demo and the test runner use), and points this process's ODBCSYSINI
// at it. Child processes get it through Variable(). The directory and every SQLite file in it
// are removed when the object goes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class OdbcTestEnv {
public:
    OdbcTestEnv() {
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

    const std::string& Dir() const { return dir_; }
    // "ODBCSYSINI=<dir>", for the environment of a child process.
    std::string Variable() const { return "ODBCSYSINI=" + dir_; }

    // Adds a data source in the syntax of scripts/odbc-env (NAME=sqlite:FILE, NAME=pg:...).
    void AddSource(const std::string& spec) {
        sources_.push_back(spec);
        Write();
    }

    // Creates an empty SQLite database file and a data source NAME for it; returns the path.
    std::string CreateSqliteSource(const std::string& name) {
        std::string path = dir_ + "/" + name + ".db";
        std::ofstream(path).flush();
        AddSource(name + "=sqlite:" + path);
        return path;
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
        setenv("ODBCSYSINI", dir_.c_str(), 1);
    }

    std::string dir_;
    std::vector<std::string> sources_;
};
