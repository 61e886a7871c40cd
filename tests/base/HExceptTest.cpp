#include "base/HExcept.h"

#include <gtest/gtest.h>

using namespace quorvel;

TEST(HExceptTest, QuotedUrlLosesItsQuotes) {
    EXPECT_EQ(HExcept(9, "x", "\"err.htm\"").url, "err.htm");
    EXPECT_EQ(HExcept(9, "x", "err.htm").url, "err.htm");
    EXPECT_EQ(HExcept(9, "x", "\"").url, "");
}

TEST(HExceptTest, MessageTableEndsAndStarts) {
    EXPECT_STREQ(HExcept::MessageText(0), "Failed to connect to database");
    EXPECT_STREQ(HExcept::MessageText(14), "Cannot reference a SQL operation definiton");
    EXPECT_STREQ(HExcept::MessageText(41), "Parameter to SQL statement is not defined");
    EXPECT_STREQ(HExcept::MessageText(42), "");
}

TEST(HExceptTest, ReRaiseKeepsOtherFields) {
    HExcept e(12, "d", "u");
    HExcept c = HExcept::WithCode(e, 35);
    EXPECT_EQ(c.code, 35);
    EXPECT_EQ(c.detail, "d");
    EXPECT_EQ(c.url, "u");
}
