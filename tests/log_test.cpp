#include "log.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { log_set_verbose(1); }
};

TEST_F(LogTest, FiltersMessagesByVerbosityButNeverWarningsOrErrors)
{
    auto o = test::capture([] {
        log_msg(1, "one\n");
        log_msg(4, "four\n");
    });
    EXPECT_EQ(o.out, "one\n");

    log_set_verbose(4);
    o = test::capture([] {
        log_msg(1, "one\n");
        log_msg(4, "four\n");
    });
    EXPECT_EQ(o.out, "one\nfour\n");

    log_set_verbose(0);
    o = test::capture([] {
        log_msg(1, "one\n");
        log_char(0, 'z');
        log_warn("w%d\n", 1);
        log_err("e%s\n", "2");
    });
    EXPECT_EQ(o.out, "z");
    EXPECT_EQ(o.err, "Warning: w1\nError: e2\n");
}

TEST_F(LogTest, NegativeLevelSilencesEveryFilteredOperation)
{
    log_set_verbose(-1);
    auto o = test::capture([] {
        log_msg(0, "zero\n");
        log_char(0, 'c');
        log_data(0, "abc", 3);
        log_msg(-1, "minus one\n");
    });
    EXPECT_EQ(o.out, "minus one\n");
}

TEST_F(LogTest, WarningGoesOnlyToStandardError)
{
    auto o = test::capture([] { log_warn("x\n"); });
    EXPECT_EQ(o.err, "Warning: x\n");
    EXPECT_EQ(o.out, "");
}

TEST_F(LogTest, HexDumpOfAShortLinePadsToFullWidth)
{
    auto o = test::capture([] { log_data(1, "Hello", 5); });
    const std::string expected = "0000  48 65 6c 6c 6f " + std::string(35, ' ') + "|Hello|\n";
    EXPECT_EQ(o.out, expected);
    EXPECT_EQ(o.out.size(), 64u);
}

TEST_F(LogTest, HexDumpOfSixteenAndSeventeenBytes)
{
    const std::string bytes = "0123456789abcdef!";
    auto o = test::capture([&] { log_data(1, bytes.data(), 16); });
    EXPECT_EQ(o.out, "0000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n");

    o = test::capture([&] { log_data(1, bytes.data(), 17); });
    EXPECT_EQ(o.out, "0000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
                     "0016  21 " +
                         std::string(3 * 15 + 1, ' ') + " |!|\n");
}

TEST_F(LogTest, HexDumpShowsControlAndHighBytesAsDots)
{
    const unsigned char bytes[] = {0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xff};
    auto o = test::capture([&] { log_data(1, bytes, sizeof bytes); });
    EXPECT_NE(o.out.find("|. ~...|"), std::string::npos) << o.out;
}

TEST_F(LogTest, HexDumpOfNothingPrintsNothing)
{
    auto o = test::capture([] { log_data(1, "", 0); });
    EXPECT_EQ(o.out, "");
}

} // namespace
