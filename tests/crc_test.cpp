#include "crc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Pseudo-random bytes from a fixed linear congruential sequence: the same
// every run, without any visible pattern a CRC could be lucky on.
std::string generated_bytes(std::size_t n, std::uint32_t seed)
{
    std::string s(n, '\0');
    for (auto &c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
}

std::uint64_t crc_in_pieces(const std::string &data, const std::vector<std::size_t> &cuts)
{
    std::uint64_t state;
    crc32_init(&state);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        crc32_update(&state, data.data() + from, static_cast<long>(cut - from));
        from = cut;
    }
    crc32_update(&state, data.data() + from, static_cast<long>(data.size() - from));
    crc32_finish(&state);
    return state;
}

std::string run_command(const std::string &command)
{
    std::FILE *p = popen(command.c_str(), "r");
    if (p == nullptr)
        return {};
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << command;
    return out;
}

TEST(Crc32, CheckValueAndEmptyInput)
{
    // The check value of CRC-32/ISO-HDLC (zlib, IEEE 802.3) in the catalogue
    // of parametrised CRC algorithms: the CRC of the nine digits "123456789".
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32("", 0), 0u);

    // A length of zero or less leaves the state as it was.
    std::uint64_t state;
    crc32_init(&state);
    EXPECT_EQ(state, 0xFFFFFFFFu);
    crc32_update(&state, "123456789", 0);
    crc32_update(&state, "123456789", -5);
    EXPECT_EQ(state, 0xFFFFFFFFu);
    crc32_update(&state, "123456789", 9);
    crc32_finish(&state);
    EXPECT_EQ(state, 0xCBF43926u);
}

TEST(Crc32, TheSplitNeverChangesTheResult)
{
    const std::string data = generated_bytes(1000, 7);
    const std::uint64_t whole = crc32(data.data(), static_cast<long>(data.size()));
    for (std::size_t cut = 0; cut <= data.size(); ++cut)
        ASSERT_EQ(crc_in_pieces(data, {cut}), whole) << "split at " << cut;
    for (std::size_t a = 0; a <= data.size(); a += 37)
        for (std::size_t b = a; b <= data.size(); b += 53)
            ASSERT_EQ(crc_in_pieces(data, {a, b}), whole) << "split at " << a << " and " << b;
}

TEST(Crc32, AgreesWithZlibOnGeneratedData)
{
    // Three megabytes and every short prefix, checked against python's zlib.
    test::TempDir dir;
    const std::string data = generated_bytes(3 * 1024 * 1024 + 17, 2024);
    test::write_file(dir.file("data"), data);
    const std::string out = run_command(
        "python3 -c 'import sys, zlib\n"
        "d = open(sys.argv[1], \"rb\").read()\n"
        "print(zlib.crc32(d))\n"
        "for n in range(300): print(zlib.crc32(d[:n]))' " +
        dir.file("data"));
    std::istringstream lines(out);
    std::uint64_t expected = 0;
    ASSERT_TRUE(lines >> expected);
    EXPECT_EQ(crc32(data.data(), static_cast<long>(data.size())), expected);

    std::vector<std::size_t> cuts;
    for (std::size_t at = 8191; at < data.size(); at += 8191 + at % 5)
        cuts.push_back(at);
    EXPECT_EQ(crc_in_pieces(data, cuts), expected);

    for (long n = 0; n < 300; ++n) {
        ASSERT_TRUE(lines >> expected);
        ASSERT_EQ(crc32(data.data(), n), expected) << "prefix of " << n << " bytes";
    }
}

} // namespace
