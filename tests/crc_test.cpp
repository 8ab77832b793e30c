#include "crc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
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

// The CRC one bit at a time, straight from the definition of the reflected
// register: independent of both table and carry-less methods.
std::uint64_t crc_bit_by_bit(std::uint64_t state, const unsigned char *p, std::size_t n)
{
    std::uint32_t reg = static_cast<std::uint32_t>(state);
    for (std::size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ ((reg & 1u) != 0 ? 0xEDB88320u : 0u);
    }
    return reg;
}

using update_fn = void (*)(std::uint64_t *, const void *, long);

std::uint64_t update_from(update_fn update, std::uint64_t state, const unsigned char *p, std::size_t n)
{
    update(&state, p, static_cast<long>(n));
    return state;
}

// Lengths around every boundary of the two methods: the 16-byte slices, the
// 64-byte blocks of the folding, its 16-byte tail, and longer runs.
std::vector<std::size_t> boundary_lengths()
{
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; ++n)
        lengths.push_back(n);
    for (std::size_t n : {255, 256, 257, 1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192, 8193, 65535, 65536, 65537})
        lengths.push_back(n);
    return lengths;
}

TEST(Crc32, TableAndCarrylessMethodsAgreeWithTheDefinition)
{
    // Where the CPU has carry-less multiplication crc32_update must use it;
    // elsewhere both entry points are the table method.
#if defined(__x86_64__)
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string text((std::istreambuf_iterator<char>(cpuinfo)), std::istreambuf_iterator<char>());
    if (!text.empty()) {
        EXPECT_EQ(crc32_have_clmul(), text.find(" pclmulqdq") != std::string::npos);
    }
#endif
    const std::string data = generated_bytes(65537 + 64, 99);
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    for (std::uint64_t start : {0xFFFFFFFFull, 0ull, 0xDEADBEEFull}) {
        for (std::size_t n : boundary_lengths()) {
            // Every alignment for the short lengths, a few for the long ones.
            const std::size_t offsets = n <= 200 ? 64 : 3;
            for (std::size_t off = 0; off < offsets; ++off) {
                const std::uint64_t want = crc_bit_by_bit(start, bytes + off, n);
                ASSERT_EQ(update_from(crc32_update_portable, start, bytes + off, n), want)
                    << "table method, " << n << " bytes at offset " << off << ", state " << start;
                ASSERT_EQ(update_from(crc32_update_clmul, start, bytes + off, n), want)
                    << "carry-less method, " << n << " bytes at offset " << off << ", state " << start;
                ASSERT_EQ(update_from(crc32_update, start, bytes + off, n), want)
                    << "crc32_update, " << n << " bytes at offset " << off << ", state " << start;
            }
        }
    }
}

TEST(Crc32, BothMethodsAgreeWithZlibOnManyLengthsAndAlignments)
{
    // python's zlib is an independent implementation; its crc32 takes and
    // returns the finished value, so a state s corresponds to zlib's ~s.
    test::TempDir dir;
    const std::string data = generated_bytes((1 << 20) + 300, 31337);
    test::write_file(dir.file("data"), data);
    std::vector<std::pair<std::size_t, std::size_t>> cases;
    for (std::size_t off = 0; off < 16; ++off)
        for (std::size_t n : boundary_lengths())
            cases.emplace_back(off, n);
    cases.emplace_back(5, std::size_t{1} << 20);
    cases.emplace_back(0, (std::size_t{1} << 20) + 300);

    std::string script = "import sys, zlib\nd = open(sys.argv[1], 'rb').read()\n";
    for (const auto &[off, n] : cases)
        script += "print(zlib.crc32(d[" + std::to_string(off) + ":" + std::to_string(off + n) + "]))\n";
    test::write_file(dir.file("crc.py"), script);
    std::istringstream lines(run_command("python3 " + dir.file("crc.py") + " " + dir.file("data")));

    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    for (const auto &[off, n] : cases) {
        std::uint64_t want = 0;
        ASSERT_TRUE(lines >> want) << "python gave no CRC for " << n << " bytes at offset " << off;
        for (update_fn update : {crc32_update_portable, crc32_update_clmul}) {
            std::uint64_t state;
            crc32_init(&state);
            update(&state, bytes + off, static_cast<long>(n));
            crc32_finish(&state);
            ASSERT_EQ(state, want) << n << " bytes at offset " << off << ", "
                                   << (update == crc32_update_portable ? "table" : "carry-less") << " method";
        }
    }
}

TEST(Crc32, MethodsCanTakeTurnsWithinOneMessage)
{
    // The state is the same whichever method produced it, so a message may
    // be folded partly by one and partly by the other.
    const std::string data = generated_bytes(100000, 5);
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
    const std::uint64_t whole = crc32(data.data(), static_cast<long>(data.size()));
    std::uint64_t state;
    crc32_init(&state);
    std::size_t at = 0;
    for (std::size_t step = 1; at < data.size(); step = step * 3 % 1021 + 1) {
        const std::size_t n = std::min(step * 7, data.size() - at);
        (step % 2 != 0 ? crc32_update_clmul : crc32_update_portable)(&state, bytes + at, static_cast<long>(n));
        at += n;
    }
    crc32_finish(&state);
    EXPECT_EQ(state, whole);
}

} // namespace
