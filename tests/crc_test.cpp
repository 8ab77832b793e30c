#include "crc.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// crc32_update is checked apart from the method it picks, in case the pick goes wrong.
constexpr void (*methods[])(std::uint64_t *, const void *, long) = {crc32_update_portable, crc32_update_clmul,
                                                                    crc32_update};

// The CRC one bit at a time, straight from the definition of the reflected register
// (the message's bits enter least significant first): independent of both methods.
std::uint64_t crc_bit_by_bit(std::uint64_t reg, const char *p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        for (int bit = 0; bit < 8; ++bit)
            reg = ((reg ^ (static_cast<unsigned char>(p[i]) >> bit)) & 1u) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    return reg;
}

TEST(Crc32, EveryMethodFromAnyStateAgreesWithTheDefinitionAndZlib)
{
    // The check value of CRC-32/ISO-HDLC (zlib, IEEE 802.3) in the catalogue
    // of parametrised CRC algorithms: the CRC of the nine digits "123456789".
    EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
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
    for (std::size_t n : {255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536, 65537})
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
        "o, n = map(int, c.split()); print(zlib.crc32(d[o:o + n]))' " + dir.file("data") + " " + dir.file("cases")));
    for (const auto &[off, n] : cases) {
        std::uint64_t zlib = 0;
        ASSERT_TRUE(lines >> zlib) << "python gave no CRC for " << n << " bytes at offset " << off;
        // From any state, as after any earlier piece of the data: zlib's CRC, or one from the definition.
        for (std::uint64_t start : {0xFFFFFFFFull, 0ull, 0xDEADBEEFull}) {
            const auto want = start == 0xFFFFFFFFull ? zlib : crc_bit_by_bit(start, data.data() + off, n) ^ 0xFFFFFFFFu;
            for (const auto &update : methods) {
                std::uint64_t state = start;
                update(&state, data.data() + off, -static_cast<long>(n)); // 0 or less does nothing
                update(&state, data.data() + off, static_cast<long>(n));
                crc32_finish(&state);
                ASSERT_EQ(state, want) << n << " bytes at offset " << off << ", state " << start << ", method "
                                       << (&update - methods);
            }
        }
    }
}

} // namespace
