// CRC-32 as zlib, IEEE 802.3 and ISO-HDLC compute it: reflected polynomial
// 0xEDB88320, initial value and final XOR 0xFFFFFFFF. Incremental.
#pragma once

#include <cstdint>

/// Starts a computation: the state becomes 0xFFFFFFFF.
void crc32_init(std::uint64_t *state);
/// Folds `len` bytes into the state; 0 or less does nothing.
void crc32_update(std::uint64_t *state, const void *data, long len);
/// Ends a computation; the state then holds the CRC-32 value.
void crc32_finish(std::uint64_t *state);
/// CRC-32 of one buffer.
std::uint64_t crc32(const void *data, long len);

// ---- The two ways of folding, shared with the tests and benchmarks ----
// crc32_update takes the fastest one the CPU offers; both give the same state.

/// True when this CPU multiplies without carries (PCLMULQDQ), so that updates fold 64 bytes a step.
bool crc32_have_clmul();
/// crc32_update by the portable table method alone: 16 bytes a step, one lookup per byte.
void crc32_update_portable(std::uint64_t *state, const void *data, long len);
/// crc32_update by carry-less multiplication where the CPU has it, else by the table method.
void crc32_update_clmul(std::uint64_t *state, const void *data, long len);
