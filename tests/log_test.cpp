#include "log.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { log_set_verbose(1); }
};

// One message at each level and one of each unfiltered kind, as the given verbosity shows them.
test::Output all_kinds(int verbosity)
{
    log_set_verbose(verbosity);
    return test::capture([] {
        for (int level : {-1, 0, 1, 4})
            log_msg(level, "%d\n", level);
        log_char(0, 'c');
        log_data(0, "abc", 3);
        log_warn("w%d\n", 1);
        log_err("e%s\n", "2");
    });
}

TEST_F(LogTest, VerbosityFiltersMessagesButNeverWarningsOrErrors)
{
    const std::string dump = "0000  61 62 63 " + std::string(41, ' ') + "|abc|\n";
    EXPECT_EQ(all_kinds(1).out, "-1\n0\n1\nc" + dump);
    EXPECT_EQ(all_kinds(4).out, "-1\n0\n1\n4\nc" + dump);
    EXPECT_EQ(all_kinds(0).out, "-1\n0\nc" + dump);
    // A negative level silences everything filtered at level 0.
    EXPECT_EQ(all_kinds(-1).out, "-1\n");
    EXPECT_EQ(all_kinds(-1).err, "Warning: w1\nError: e2\n");
}

TEST_F(LogTest, HexDumpLinesHold16BytesAndShowControlAndHighBytesAsDots)
{
    const std::string sixteen = "0000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"Hello", "0000  48 65 6c 6c 6f " + std::string(35, ' ') + "|Hello|\n"},
        {"0123456789abcdef", sixteen},
        {"0123456789abcdef!", sixteen + "0016  21 " + std::string(3 * 15 + 1, ' ') + " |!|\n"},
        {"\x1f\x20\x7e\x7f\x80\xff", "0000  1f 20 7e 7f 80 ff " + std::string(31, ' ') + " |. ~...|\n"},
    };
    for (const auto &[bytes, dump] : rows)
        EXPECT_EQ(test::capture([&] { log_data(1, bytes.data(), bytes.size()); }).out, dump);
}

} // namespace
