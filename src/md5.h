// MD5 message digest (RFC 1321), incremental: init, any number of appends, finish.
#pragma once

#include <cstdint>

struct md5_context {
    std::uint32_t count[2]; ///< message length in bits, low word first
    std::uint32_t abcd[4];  ///< state words A, B, C, D
    std::uint8_t buf[64];   ///< an incomplete block
};

/// Starts a digest: an empty message and the initial state words.
void md5_init(md5_context *ctx);
/// Adds `nbytes` bytes to the message; 0 or less does nothing. The split of the
/// message into appends never changes the digest.
void md5_append(md5_context *ctx, const std::uint8_t *data, int nbytes);
/// Pads the message and stores the 16-byte digest.
void md5_finish(md5_context *ctx, std::uint8_t digest[16]);
