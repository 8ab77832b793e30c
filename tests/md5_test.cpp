#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace {

// The hex digest of `data`, read where it lies, in pieces ending at `ends`, after a negative length (a no-op).
std::string md5_in_pieces(std::string_view data, const std::vector<std::size_t> &ends)
{
    md5_context ctx;
    md5_init(&ctx);
    md5_append(&ctx, nullptr, -64);
    std::size_t from = 0;
    for (std::size_t to : ends) {
        md5_append(&ctx, reinterpret_cast<const std::uint8_t *>(data.data()) + from, static_cast<int>(to - from));
        from = to;
    }
    std::uint8_t digest[16];
    md5_finish(&ctx, digest);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

TEST(Md5, Rfc1321TestSuiteAndHashlibHoweverTheMessageIsSplit)
{
    // RFC 1321, appendix A.5 "Test suite"; the split never changes the digest.
    constexpr std::string_view suite[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"}, {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"}, {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    for (const auto &[text, digest] : suite)
        for (std::size_t a = 0; a <= text.size(); ++a)
            for (std::size_t b = a; b <= text.size(); ++b)
                ASSERT_EQ(md5_in_pieces(text, {a, b, text.size()}), digest) << text << " split at " << a << ", " << b;
    // Against python's hashlib, lengths 0 to 200 put the padding at every place of a block (56 and 64 bytes
    // need one more), at every offset, as whole blocks are read where they lie, also after a first piece that
    // is kept in the buffer.
    test::TempDir dir;
    const std::string data = test::generated_bytes(10264, 1321);
    test::write_file(dir.file("data"), data);
    std::istringstream lines(test::run_command(
        "python3 -c 'import sys, hashlib\nd = open(sys.argv[1], \"rb\").read()\nfor o, n in "
        "[(o, n) for o in range(64) for n in [*range(201), 10000]]: print(o, n, hashlib.md5(d[o:o + n]).hexdigest())' " +
        dir.file("data")));
    std::size_t off = 0, n = 0, count = 0;
    for (std::string want; lines >> off >> n >> want; ++count)
        for (std::size_t first : {std::size_t{0}, off < n ? off : n})
            EXPECT_EQ(md5_in_pieces(std::string_view(data).substr(off, n), {first, n}), want)
                << n << " bytes at offset " << off << ", first piece " << first;
    EXPECT_EQ(count, 64 * 202u) << "digests from python";
}

} // namespace
