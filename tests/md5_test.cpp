#include "md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::string hex(const std::uint8_t digest[16])
{
    std::string s;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        s += two;
    }
    return s;
}

// The digest of `data` appended in pieces that end at each of `cuts`.
std::string md5_in_pieces(const std::string &data, const std::vector<std::size_t> &cuts = {})
{
    md5_context ctx;
    md5_init(&ctx);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data.data());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        md5_append(&ctx, bytes + from, static_cast<int>(cut - from));
        from = cut;
    }
    md5_append(&ctx, bytes + from, static_cast<int>(data.size() - from));
    std::uint8_t digest[16];
    md5_finish(&ctx, digest);
    return hex(digest);
}

std::string generated_bytes(std::size_t n, std::uint32_t seed)
{
    std::string s(n, '\0');
    for (auto &c : s) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return s;
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

TEST(Md5, Rfc1321TestSuite)
{
    // RFC 1321, appendix A.5 "Test suite".
    EXPECT_EQ(md5_in_pieces(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_in_pieces("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5_in_pieces("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_in_pieces("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5_in_pieces("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5_in_pieces("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_in_pieces("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PaddingBoundariesAgreeWithHashlib)
{
    // Every length from 0 to 200 bytes, so that the padding falls at every
    // place of a block: 55 bytes still fit the length, 56 and 64 bytes need a
    // whole extra block.
    test::TempDir dir;
    const std::string data = generated_bytes(200, 56);
    test::write_file(dir.file("data"), data);
    const std::string out = run_command("python3 -c 'import sys, hashlib\n"
                                        "d = open(sys.argv[1], \"rb\").read()\n"
                                        "for n in range(201): print(hashlib.md5(d[:n]).hexdigest())\n"
                                        "print(hashlib.md5(b\"a\" * 56).hexdigest())\n"
                                        "print(hashlib.md5(b\"a\" * 64).hexdigest())' " +
                                        dir.file("data"));
    std::istringstream lines(out);
    std::string expected;
    for (std::size_t n = 0; n <= 200; ++n) {
        ASSERT_TRUE(lines >> expected);
        EXPECT_EQ(md5_in_pieces(data.substr(0, n)), expected) << "message of " << n << " bytes";
    }
    ASSERT_TRUE(lines >> expected);
    EXPECT_EQ(md5_in_pieces(std::string(56, 'a')), expected);
    ASSERT_TRUE(lines >> expected);
    EXPECT_EQ(md5_in_pieces(std::string(64, 'a')), expected);
}

TEST(Md5, TheSplitNeverChangesTheDigest)
{
    const std::string data = generated_bytes(300, 11);
    const std::string whole = md5_in_pieces(data);
    for (std::size_t cut = 0; cut <= data.size(); ++cut)
        ASSERT_EQ(md5_in_pieces(data, {cut}), whole) << "split at " << cut;
    for (std::size_t a = 0; a <= data.size(); a += 7)
        for (std::size_t b = a; b <= data.size(); b += 13)
            ASSERT_EQ(md5_in_pieces(data, {a, b}), whole) << "split at " << a << " and " << b;

    // Appends of zero or negative length add nothing.
    md5_context ctx;
    md5_init(&ctx);
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(data.data());
    md5_append(&ctx, bytes, 0);
    md5_append(&ctx, bytes, -64);
    md5_append(&ctx, bytes, static_cast<int>(data.size()));
    std::uint8_t digest[16];
    md5_finish(&ctx, digest);
    EXPECT_EQ(hex(digest), whole);
}

TEST(Md5, AgreesWithMd5sumOnGeneratedData)
{
    test::TempDir dir;
    const std::string data = generated_bytes(4 * 1024 * 1024 + 3, 1321);
    test::write_file(dir.file("data"), data);
    const std::string out = run_command("md5sum " + dir.file("data"));
    const std::string expected = out.substr(0, 32);
    EXPECT_EQ(md5_in_pieces(data), expected);

    // Uneven pieces: some fill the buffered block, some pass whole blocks through.
    std::vector<std::size_t> cuts;
    for (std::size_t at = 1; at < data.size(); at += 1 + (at * 7919) % 20000)
        cuts.push_back(at);
    EXPECT_EQ(md5_in_pieces(data, cuts), expected);
}

TEST(Md5, WholeBlocksAreReadAtAnyAddress)
{
    // Blocks are transformed straight from the caller's bytes, which need not
    // be aligned for 32-bit words: every offset within a word, and within a
    // 64-byte block, must give the digest hashlib computes.
    test::TempDir dir;
    const std::string data = generated_bytes(10000, 64);
    test::write_file(dir.file("data"), data);
    const std::string expected =
        run_command("python3 -c 'import sys, hashlib; print(hashlib.md5(open(sys.argv[1], \"rb\").read()).hexdigest())' " +
                    dir.file("data"))
            .substr(0, 32);
    for (std::size_t offset = 0; offset < 64; ++offset) {
        std::vector<std::uint8_t> buffer(offset + data.size());
        std::copy(data.begin(), data.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
        md5_context ctx;
        md5_init(&ctx);
        // A first piece of 3 bytes goes into the buffered block; the second
        // completes it and passes the whole blocks after it straight through.
        md5_append(&ctx, buffer.data() + offset, 3);
        md5_append(&ctx, buffer.data() + offset + 3, static_cast<int>(data.size() - 3));
        std::uint8_t digest[16];
        md5_finish(&ctx, digest);
        EXPECT_EQ(hex(digest), expected) << "data at offset " << offset;

        md5_init(&ctx);
        md5_append(&ctx, buffer.data() + offset, static_cast<int>(data.size()));
        md5_finish(&ctx, digest);
        EXPECT_EQ(hex(digest), expected) << "data at offset " << offset << ", one piece";
    }
}

} // namespace
