// The MD5 and CRC-32 of a file's bytes, as the checksum files give them, computed
// beside other work: fed block by block while a file is written, or read from an
// open file with the MD5 on one core and the reading and the CRC-32 on the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "md5.h"

/// A file's digests as text: MD5 in 32 lower-case hex digits, CRC-32 in 8 upper-case ones.
struct digest_pair {
    std::string md5;
    std::string crc32;
};

/// MD5 and CRC-32 of bytes fed in pieces (each under 2 GiB), in order; the split never changes the result.
class digest_state {
public:
    digest_state();
    void append(const void *data, std::size_t n) { append_md5(data, n), append_crc(data, n); }
    void append_md5(const void *data, std::size_t n);
    void append_crc(const void *data, std::size_t n);
    /// Both digests of everything appended.
    digest_pair finish();

private:
    md5_context md5_;
    std::uint64_t crc_;
};

/// Reads `fp` from where it is to its end and stores both digests in `out`: on two threads when
/// threads_for() allows it for `size`, the bytes expected (given, since a stream read from an
/// archive has no descriptor to ask). 0 when the file was read whole; -1 on a read error (errno
/// tells which), and then `out` is left alone.
int digest_file(std::FILE *fp, std::uint64_t size, digest_pair *out);
