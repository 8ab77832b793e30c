#include "tolk_utils.h"

#include <gtest/gtest.h>

#include "test_support.h"

// Paths: the cue sheet's files found beside it, in the golden cases and tests/e2e_cuesheets.py.

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

TEST(TolkFreadln, LineEndsOverlongLinesAndForbiddenBytes)
{
    const std::tuple<std::string, int, Lines> rows[] = {
        {"ab\r\ncd", 10, {{0, "ab"}, {0, "cd"}, {-1, ""}}},
        {"ab\n", 10, {{0, "ab"}, {0, ""}, {-1, ""}}},
        {"ab\rcd\r", 10, {{0, "ab"}, {0, "cd"}, {-1, ""}}},
        // Longer than max: the start is kept and the next line follows.
        {"abcd\nx", 4, {{0, "abcd"}, {0, "x"}, {-1, ""}}},
        {"abcdef\nx", 4, {{1, "abcd"}, {0, "x"}, {-1, ""}}},
        // Control characters are refused; tab and Latin-1 are not.
        {"ab\x01x\n", 10, {{-2, "ab"}}},
        {"a\x7f", 10, {{-2, "a"}}},
        {"caf\xe9\tx\n", 10, {{0, "caf\xe9\tx"}, {0, ""}, {-1, ""}}},
    };
    for (const auto &[bytes, max, lines] : rows) {
        file_ptr fp(fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb"));
        std::vector<char> buf(static_cast<std::size_t>(max) + 1);
        Lines got;
        do
            got.emplace_back(tolk_freadln(buf.data(), max, fp.get()), buf.data());
        while (got.back().first >= 0 && got.size() < 20);
        EXPECT_EQ(got, lines) << testing::PrintToString(bytes);
    }
}

TEST(TolkFiles, AWriteErrorIsReportedByTheCloseEvenWhenOnlyAnEarlierWriteSawIt)
{
    file_ptr full = tolk_fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    std::fputs("x", full.get());
    errno = 0;
    EXPECT_FALSE(close_checked(full));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(full);
    // On an unbuffered stream the write fails at once and the final flush succeeds.
    full = tolk_fopen("/dev/full", "wb");
    std::setvbuf(full.get(), nullptr, _IONBF, 0);
    std::fputs("x", full.get());
    EXPECT_FALSE(close_checked(full));
}

} // namespace
