#include "tolk_utils.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(TolkStrings, HexCheckTrimCompareCopyLeftPaddingAndTimes)
{
    EXPECT_EQ((std::array{tolk_str_ishex(""), tolk_str_ishex("0aF"), tolk_str_ishex("0x1")}), (std::array{1, 1, 0}));
    char blanks[] = " \t \t", text[] = "a b \t";
    tolk_strrtrim(blanks, " \t");
    tolk_strrtrim(text, " \t");
    EXPECT_STREQ(blanks, "");
    EXPECT_STREQ(text, "a b");
    EXPECT_EQ(tolk_stricmp("ABCdef", "abcDEF"), 0);
    EXPECT_LT(tolk_stricmp("abc", "abd"), 0);
    EXPECT_GT(tolk_stricmp("abcd", "abc"), 0);
    char buf[9], one[1];
    EXPECT_STREQ(tolk_strcpy(buf, "0123456789ab", sizeof buf), "01234567");
    EXPECT_STREQ(tolk_strcpy(one, "abc", 1), "");
    EXPECT_EQ(tolk_strdup2("IMAGE", ".DAT"), "IMAGE.DAT");
    // Right-aligned; a longer text keeps its tail.
    EXPECT_STREQ(tolk_str_lpad(buf, "1a2b", 8, '0'), "00001a2b");
    EXPECT_STREQ(tolk_str_lpad(buf, "123456789", 8, '0'), "23456789");
    EXPECT_STREQ(tolk_str_lpad(buf, "12345678", 8, '0'), "12345678");

    char time[13];
    for (const auto &[seconds, text] : std::initializer_list<std::pair<double, const char *>>{
             {3723.5, "01:02:03.500"}, {359999.0, "99:59:59.000"}, {-1.0, ""}, {360000.0, ""},
             {1952.0 / 2352.0 / 75.0, "00:00:00.011"}}) // 1952 bytes of padding are 0.011 s of CD audio
        EXPECT_STREQ(tolk_format_time(time, seconds), text) << seconds;
}

using Lines = std::vector<std::pair<int, std::string>>;

// Result and text of each tolk_freadln(max) on `bytes`, up to the end or a refusal.
Lines read_lines(const std::string &bytes, int max)
{
    test::TempDir dir;
    test::write_file(dir.file("in"), bytes);
    file_ptr fp = tolk_fopen(dir.file("in").c_str(), "rb");
    Lines lines;
    std::vector<char> buf(static_cast<std::size_t>(max) + 1);
    do
        lines.emplace_back(tolk_freadln(buf.data(), max, fp.get()), buf.data());
    while (lines.back().first >= 0 && lines.size() < 20);
    return lines;
}

TEST(TolkFreadln, LineEndsOverlongLinesAndForbiddenBytes)
{
    const std::tuple<std::string, int, Lines> rows[] = {
        {"ab\r\ncd", 10, {{0, "ab"}, {0, "cd"}, {-1, ""}}},
        {"ab\n", 10, {{0, "ab"}, {0, ""}, {-1, ""}}},
        {"ab\rcd\r", 10, {{0, "ab"}, {0, "cd"}, {-1, ""}}},
        {"", 10, {{0, ""}, {-1, ""}}},
        // Longer than max: the start is kept and the next line follows.
        {"abcd\nx", 4, {{0, "abcd"}, {0, "x"}, {-1, ""}}},
        {"abcdef\nx", 4, {{1, "abcd"}, {0, "x"}, {-1, ""}}},
        // Control characters are refused; tab and Latin-1 are not.
        {"ab\x01x\n", 10, {{-2, "ab"}}},
        {"a\x7f", 10, {{-2, "a"}}},
        {"caf\xe9\tx\n", 10, {{0, "caf\xe9\tx"}, {0, ""}, {-1, ""}}},
    };
    for (const auto &[bytes, max, lines] : rows)
        EXPECT_EQ(read_lines(bytes, max), lines) << testing::PrintToString(bytes);
}

TEST(TolkPaths, JoinDirectoryBasenameExtensionAndAbsoluteForms)
{
    for (const auto &[dir, name, joined] : std::initializer_list<std::tuple<const char *, const char *, const char *>>{
             {"dir/", "f", "dir/f"}, {"dir", "f", "dir/f"}, {"", "f", "f"}, {"dir", "", "dir"},
             {"dir", "/abs", "dir//abs"}, {nullptr, "f", nullptr}, {"d", nullptr, nullptr}})
        EXPECT_EQ(tolk_path_join(dir, name), joined ? std::optional<std::string>(joined) : std::nullopt) << name;
    for (const auto &[path, dir, base] : std::initializer_list<std::tuple<const char *, const char *, const char *>>{
             {"a/b/c.cue", "a/b/", "c.cue"}, {"c.cue", "", "c.cue"}, {"/c.cue", "/", "c.cue"}, {"a/b/", "a/", ""},
             {"a//b", "a//", "b"}, {"", "", ""}, {"///", "", ""}}) {
        EXPECT_EQ(tolk_path_get_dir(path), dir) << path;
        EXPECT_STREQ(tolk_basename(path), base) << path;
    }
    for (auto [path, stripped] : std::initializer_list<std::pair<std::string, const char *>>{
             {"dir.d/name.tar.gz", "dir.d/name.tar"}, {"dir.d/name", "dir.d/name"}, {"dir/.hidden", "dir/"}})
        EXPECT_STREQ(tolk_path_strip_ext(path.data()), stripped);
    for (const auto &[path, abs] : std::initializer_list<std::pair<const char *, int>>{
             {"/x", 1}, {"D:\\x", 1}, {"d:\\x", 1}, {"\\\\host", 1}, {"D:/x", 0}, {"D:", 0}, {"\\\\", 0}, {"x/y", 0},
             {"_:\\x", 0}, {"", 0}, {nullptr, 0}})
        EXPECT_EQ(tolk_path_is_abs(path), abs) << (path ? path : "null");
}

TEST(TolkFiles, CopiesZerosStopsAtAShortReadCopiesToTheEndAndChecksTheClose)
{
    test::TempDir dir;
    file_ptr out = tolk_fopen(dir.file("zeros").c_str(), "wb");
    EXPECT_EQ(copy_data(nullptr, out.get(), 10000), 0); // more than one block of 8 KiB
    EXPECT_EQ(copy_data(nullptr, out.get(), 0), 0);
    ASSERT_TRUE(close_checked(out));
    EXPECT_EQ(test::read_file(dir.file("zeros")), std::string(10000, '\0'));
    EXPECT_EQ(tolk_filesize(dir.file("zeros").c_str()), 10000);
    EXPECT_EQ(tolk_filesize(dir.file("missing").c_str()), -1);
    test::write_file(dir.file("short"), "abc");
    file_ptr in = tolk_fopen(dir.file("short").c_str(), "rb");
    out = tolk_fopen(dir.file("copy").c_str(), "wb");
    EXPECT_EQ(copy_data(in.get(), out.get(), 4), 1);
    const std::string data = test::generated_bytes(20000, 7);
    test::write_file(dir.file("in"), data);
    in = tolk_fopen(dir.file("in").c_str(), "rb");
    out = tolk_fopen(dir.file("out").c_str(), "wb");
    EXPECT_EQ(tolk_fcopy(in.get(), out.get()), 0);
    ASSERT_TRUE(close_checked(out));
    EXPECT_EQ(test::read_file(dir.file("out")), data);

    // A write error that shows only at the close is still reported.
    file_ptr full = tolk_fopen("/dev/full", "wb");
    if (!full)
        GTEST_SKIP() << "/dev/full is not available";
    std::fputs("x", full.get());
    errno = 0;
    EXPECT_FALSE(close_checked(full));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(full);
    // So is one noted earlier on an unbuffered stream, although the final flush succeeds.
    full = tolk_fopen("/dev/full", "wb");
    std::setvbuf(full.get(), nullptr, _IONBF, 0);
    std::fputs("x", full.get());
    EXPECT_FALSE(close_checked(full));
}

} // namespace
