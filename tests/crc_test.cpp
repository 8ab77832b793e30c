#include "crc.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace {

struct Method {
    const char *name;
    void (*update)(std::uint64_t *, const void *, long);
};
// crc32_update is checked apart from the method it picks, in case the pick goes wrong.
constexpr Method methods[] = {
    {"table", crc32_update_portable}, {"carry-less", crc32_update_clmul}, {"crc32_update", crc32_update}};

// The CRC one bit at a time, straight from the definition of the reflected
// register: independent of both the table and the carry-less methods.
std::uint64_t crc_bit_by_bit(std::uint64_t reg, const char *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        for (int bit = 0; bit < 8; ++bit) // the message's bits enter least significant first
            reg = ((reg ^ (static_cast<unsigned char>(p[i]) >> bit)) & 1u) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}

// The CRC of `data` folded in pieces that end at each of `ends`, the methods
// taking turns from methods[first]: the state is the same whoever made it.
std::uint64_t crc_in_pieces(const std::string &data, const std::vector<std::size_t> &ends, std::size_t first)
{
    std::uint64_t state;
    crc32_init(&state);
    std::size_t from = 0;
    for (std::size_t to : ends) {
        methods[first++ % 3].update(&state, data.data() + from, static_cast<long>(to - from));
        from = to;
    }
    crc32_finish(&state);
    return state;
}

TEST(Crc32, CheckValueAndEveryMethodAgainstTheDefinitionAndZlib)
{
    // The check value of CRC-32/ISO-HDLC (zlib, IEEE 802.3) in the catalogue
    // of parametrised CRC algorithms: the CRC of the nine digits "123456789".
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32("", 0), 0u);
    if (test::file_exists("/proc/cpuinfo")) { // where the CPU multiplies without carries, we must
        EXPECT_EQ(crc32_have_clmul(), test::read_file("/proc/cpuinfo").find(" pclmulqdq") != std::string::npos);
    }
    // A few MB whole, 1 MB at an odd address, and lengths around every boundary of the
    // methods (16-byte slices, 64-byte blocks and 16-byte tail), short ones at every alignment.
    const std::string data = test::generated_bytes(3 * 1024 * 1024 + 17, 2024);
    std::vector<std::pair<std::size_t, std::size_t>> cases{{0, data.size()}, {5, std::size_t{1} << 20}};
    for (std::size_t n = 0; n <= 200; ++n)
        for (std::size_t off = 0; off < 64; ++off)
            cases.emplace_back(off, n);
    for (std::size_t n : {255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192, 8193, 65535, 65536, 65537})
        for (std::size_t off = 0; off < 16; ++off)
            cases.emplace_back(off, n);
    // python's zlib is an independent implementation; it gives the finished CRC from the initial state.
    test::TempDir dir;
    std::string list;
    for (const auto &[off, n] : cases)
        list += std::to_string(off) + " " + std::to_string(n) + "\n";
    test::write_file(dir.file("data"), data);
    test::write_file(dir.file("cases"), list);
    std::istringstream lines(test::run_command(
        "python3 -c 'import sys, zlib\nd = open(sys.argv[1], \"rb\").read()\nfor c in open(sys.argv[2]): "
        "o, n = map(int, c.split()); print(zlib.crc32(d[o:o + n]))' " +
        dir.file("data") + " " + dir.file("cases")));
    for (const auto &[off, n] : cases) {
        std::uint64_t zlib = 0;
        ASSERT_TRUE(lines >> zlib) << "python gave no CRC for " << n << " bytes at offset " << off;
        for (std::uint64_t start : {0xFFFFFFFFull, 0ull, 0xDEADBEEFull}) { // zlib's CRC, or from the definition
            const auto want = start == 0xFFFFFFFFull ? zlib : crc_bit_by_bit(start, data.data() + off, n) ^ 0xFFFFFFFFu;
            for (const Method &m : methods) {
                std::uint64_t state = start;
                m.update(&state, data.data() + off, -static_cast<long>(n)); // 0 or less does nothing
                m.update(&state, data.data() + off, static_cast<long>(n));
                crc32_finish(&state);
                ASSERT_EQ(state, want) << m.name << ", " << n << " bytes at offset " << off << ", state " << start;
            }
        }
    }
    std::vector<std::size_t> ends; // the whole data also in uneven pieces of about 8 KB, by turns
    for (std::size_t at = 8191; at < data.size(); at += 8191 + at % 5)
        ends.push_back(at);
    ends.push_back(data.size());
    EXPECT_EQ(crc_in_pieces(data, ends, 0), crc32(data.data(), static_cast<long>(data.size())));
}

TEST(Crc32, NeitherTheSplitNorTheMethodsTakingTurnsChangeTheResult)
{
    const std::string data = test::generated_bytes(1000, 7);
    const std::uint64_t whole = crc32(data.data(), static_cast<long>(data.size()));
    for (std::size_t first = 0; first < 3; ++first) // a == b is a single split, with an empty update
        for (std::size_t a = 0; a <= data.size(); ++a)
            for (std::size_t b = a; b <= data.size(); b += 53)
                ASSERT_EQ(crc_in_pieces(data, {a, b, data.size()}, first), whole)
                    << "split at " << a << " and " << b << ", first method " << methods[first].name;
}

} // namespace
