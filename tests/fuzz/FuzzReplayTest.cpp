// Replays every committed seed and every input a fuzzer once found to fail through the
// fuzz checks, so that the normal (and sanitizer) test run keeps them fixed.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzChecks.h"

namespace {

using Check = void (*)(const uint8_t*, size_t);

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                files.push_back(dir + "/" + e->d_name);
        ::closedir(d);
    }
    return files;
}

// Runs `check` on each input of fuzz/corpus/<target> and fuzz/regressions/<target>;
// returns how many inputs there were.
size_t Replay(const std::string& target, Check check) {
    size_t count = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        for (const std::string& file : FilesIn(std::string(QUORVEL_SOURCE_DIR) + "/fuzz/" + kind + "/" + target)) {
            std::ifstream in(file, std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            std::string data = bytes.str();
            try {
                check(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            } catch (const FuzzViolation& v) {
                ADD_FAILURE() << file << ": " << v.what();
            }
            ++count;
        }
    }
    return count;
}

TEST(FuzzReplayTest, Template) { EXPECT_GT(Replay("template", FuzzTemplate), 0u); }
TEST(FuzzReplayTest, Configuration) { EXPECT_GT(Replay("config", FuzzConfiguration), 0u); }
TEST(FuzzReplayTest, Query) { EXPECT_GT(Replay("query", FuzzQuery), 0u); }
TEST(FuzzReplayTest, Modifier) { EXPECT_GT(Replay("modifier", FuzzModifier), 0u); }
TEST(FuzzReplayTest, SqlText) { EXPECT_GT(Replay("sql", FuzzSqlText), 0u); }
TEST(FuzzReplayTest, FastCgi) { EXPECT_GT(Replay("fastcgi", FuzzFastCgi), 0u); }

}  // namespace
