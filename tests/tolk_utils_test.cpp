#include "tolk_utils.h"

#include <gtest/gtest.h>

#include <cstring>

#include "test_support.h"

namespace {

TEST(TolkStrings, HexCheckTrimCompareAndCopy)
{
    EXPECT_EQ(tolk_str_ishex(""), 1);
    EXPECT_EQ(tolk_str_ishex("0aF"), 1);
    EXPECT_EQ(tolk_str_ishex("0x1"), 0);

    char blanks[] = " \t \t";
    tolk_strrtrim(blanks, " \t");
    EXPECT_STREQ(blanks, "");
    char text[] = "a b \t";
    tolk_strrtrim(text, " \t");
    EXPECT_STREQ(text, "a b");

    EXPECT_EQ(tolk_stricmp("ABCdef", "abcDEF"), 0);
    EXPECT_LT(tolk_stricmp("abc", "abd"), 0);
    EXPECT_GT(tolk_stricmp("abcd", "abc"), 0);

    char buf[9];
    EXPECT_STREQ(tolk_strcpy(buf, "0123456789ab", sizeof buf), "01234567");
    char one[1];
    EXPECT_STREQ(tolk_strcpy(one, "abc", 1), "");

    EXPECT_EQ(tolk_strdup2("IMAGE", ".DAT"), "IMAGE.DAT");
}

TEST(TolkStrings, LeftPaddingRightAlignsAndKeepsTheTail)
{
    char buf[9];
    EXPECT_STREQ(tolk_str_lpad(buf, "1a2b", 8, '0'), "00001a2b");
    EXPECT_STREQ(tolk_str_lpad(buf, "123456789", 8, '0'), "23456789");
    EXPECT_STREQ(tolk_str_lpad(buf, "12345678", 8, '0'), "12345678");
}

// Reads every line of `bytes` with tolk_freadln(max) and records result and text.
std::vector<std::pair<int, std::string>> read_lines(const std::string &bytes, int max)
{
    test::TempDir dir;
    test::write_file(dir.file("in"), bytes);
    file_ptr fp = tolk_fopen(dir.file("in").c_str(), "rb");
    std::vector<std::pair<int, std::string>> lines;
    std::vector<char> buf(static_cast<std::size_t>(max) + 1);
    for (int guard = 0; guard < 20; ++guard) {
        const int r = tolk_freadln(buf.data(), max, fp.get());
        lines.emplace_back(r, buf.data());
        if (r == -1 || r == -2)
            break;
    }
    return lines;
}

using Lines = std::vector<std::pair<int, std::string>>;

TEST(TolkFreadln, LineEndsAndEndOfFile)
{
    EXPECT_EQ(read_lines("ab\r\ncd", 10), (Lines{{0, "ab"}, {0, "cd"}, {-1, ""}}));
    EXPECT_EQ(read_lines("ab\n", 10), (Lines{{0, "ab"}, {0, ""}, {-1, ""}}));
    EXPECT_EQ(read_lines("ab\rcd\r", 10), (Lines{{0, "ab"}, {0, "cd"}, {-1, ""}}));
    EXPECT_EQ(read_lines("", 10), (Lines{{0, ""}, {-1, ""}}));
}

TEST(TolkFreadln, OverlongLinesKeepTheirStartAndTheNextLineFollows)
{
    EXPECT_EQ(read_lines("abcd\nx", 4), (Lines{{0, "abcd"}, {0, "x"}, {-1, ""}}));
    EXPECT_EQ(read_lines("abcdef\nx", 4), (Lines{{1, "abcd"}, {0, "x"}, {-1, ""}}));
}

TEST(TolkFreadln, ControlCharactersAreForbiddenButTabAndLatin1Are)
{
    EXPECT_EQ(read_lines("ab\x01x\n", 10), (Lines{{-2, "ab"}}));
    EXPECT_EQ(read_lines("a\x7f", 10), (Lines{{-2, "a"}}));
    EXPECT_EQ(read_lines("caf\xe9\tx\n", 10), (Lines{{0, "caf\xe9\tx"}, {0, ""}, {-1, ""}}));
}

TEST(TolkPaths, JoinDirectoryBasenameAndExtension)
{
    EXPECT_EQ(tolk_path_join("dir/", "f"), "dir/f");
    EXPECT_EQ(tolk_path_join("dir", "f"), "dir/f");
    EXPECT_EQ(tolk_path_join("", "f"), "f");
    EXPECT_EQ(tolk_path_join("dir", ""), "dir");
    EXPECT_EQ(tolk_path_join("dir", "/abs"), "dir//abs");
    EXPECT_FALSE(tolk_path_join(nullptr, "f").has_value());
    EXPECT_FALSE(tolk_path_join("d", nullptr).has_value());

    EXPECT_EQ(tolk_path_get_dir("a/b/c.cue"), "a/b/");
    EXPECT_EQ(tolk_path_get_dir("c.cue"), "");
    EXPECT_EQ(tolk_path_get_dir("/c.cue"), "/");
    EXPECT_EQ(tolk_path_get_dir("a/b/"), "a/");
    EXPECT_EQ(tolk_path_get_dir("a//b"), "a//");
    EXPECT_EQ(tolk_path_get_dir(""), "");
    EXPECT_EQ(tolk_path_get_dir("///"), "");

    EXPECT_STREQ(tolk_basename("sheets/a.cue"), "a.cue");
    EXPECT_STREQ(tolk_basename("a.cue"), "a.cue");
    EXPECT_STREQ(tolk_basename("dir/"), "");

    char p1[] = "dir.d/name.tar.gz";
    EXPECT_STREQ(tolk_path_strip_ext(p1), "dir.d/name.tar");
    char p2[] = "dir.d/name";
    EXPECT_STREQ(tolk_path_strip_ext(p2), "dir.d/name");
    char p3[] = "dir/.hidden";
    EXPECT_STREQ(tolk_path_strip_ext(p3), "dir/");
}

TEST(TolkPaths, AbsolutePathForms)
{
    EXPECT_EQ(tolk_path_is_abs("/x"), 1);
    EXPECT_EQ(tolk_path_is_abs("D:\\x"), 1);
    EXPECT_EQ(tolk_path_is_abs("d:\\x"), 1);
    EXPECT_EQ(tolk_path_is_abs("\\\\host"), 1);
    EXPECT_EQ(tolk_path_is_abs("D:/x"), 0);
    EXPECT_EQ(tolk_path_is_abs("D:"), 0);
    EXPECT_EQ(tolk_path_is_abs("\\\\"), 0);
    EXPECT_EQ(tolk_path_is_abs("x/y"), 0);
    EXPECT_EQ(tolk_path_is_abs("_:\\x"), 0);
    EXPECT_EQ(tolk_path_is_abs(""), 0);
    EXPECT_EQ(tolk_path_is_abs(nullptr), 0);
}

TEST(TolkTime, FormatsHoursMinutesSecondsAndMilliseconds)
{
    char buf[13];
    EXPECT_STREQ(tolk_format_time(buf, 3723.5), "01:02:03.500");
    EXPECT_STREQ(tolk_format_time(buf, 359999.0), "99:59:59.000");
    EXPECT_STREQ(tolk_format_time(buf, -1.0), "");
    EXPECT_STREQ(tolk_format_time(buf, 360000.0), "");
    // 1952 bytes of padding are 0.011 s of CD audio.
    EXPECT_STREQ(tolk_format_time(buf, 1952.0 / 2352.0 / 75.0), "00:00:00.011");
}

TEST(TolkFiles, CountedCopyWritesZerosWithoutSourceAndFailsOnShortRead)
{
    test::TempDir dir;
    {
        file_ptr out = tolk_fopen(dir.file("zeros").c_str(), "wb");
        EXPECT_EQ(copy_data(nullptr, out.get(), 10000), 0);
        EXPECT_EQ(copy_data(nullptr, out.get(), 0), 0);
        ASSERT_TRUE(close_checked(out));
    }
    EXPECT_EQ(test::read_file(dir.file("zeros")), std::string(10000, '\0'));
    EXPECT_EQ(tolk_filesize(dir.file("zeros").c_str()), 10000);
    EXPECT_EQ(tolk_filesize(dir.file("missing").c_str()), -1);

    test::write_file(dir.file("short"), "abc");
    file_ptr in = tolk_fopen(dir.file("short").c_str(), "rb");
    file_ptr out = tolk_fopen(dir.file("copy").c_str(), "wb");
    EXPECT_EQ(copy_data(in.get(), out.get(), 4), 1);
}

TEST(TolkFiles, CopyToEndCopiesEverything)
{
    test::TempDir dir;
    std::string data(20000, 'x');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    test::write_file(dir.file("in"), data);
    {
        file_ptr in = tolk_fopen(dir.file("in").c_str(), "rb");
        file_ptr out = tolk_fopen(dir.file("out").c_str(), "wb");
        EXPECT_EQ(tolk_fcopy(in.get(), out.get()), 0);
        ASSERT_TRUE(close_checked(out));
    }
    EXPECT_EQ(test::read_file(dir.file("out")), data);
}

TEST(TolkFiles, CheckedCloseReportsAFullDevice)
{
    file_ptr full = tolk_fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    std::fputs("x", full.get());
    errno = 0;
    EXPECT_FALSE(close_checked(full));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(full);
}

} // namespace
