// Fuzz target: a binary CD-Text file through every reader of it: the size
// information scan, the listing, the transfer into a PQ list and the pack dump.
// The first input byte chooses whether the packs' CRCs are recomputed first, so
// that half of the mutations are not merely packs with a broken checksum.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cdtext_pack.h"
#include "cdtext_reader.h"
#include "fuzz_support.h"
#include "log.h"
#include "pq_cdtext.h"
#include "pqlist.h"

namespace {

/// Puts the right CRC into every whole 18-byte pack: 16 bytes covered, stored high byte first.
void fix_pack_crcs(std::vector<std::uint8_t> &bytes)
{
    for (std::size_t at = 0; at + CDTEXT_PACK_SIZE <= bytes.size(); at += CDTEXT_PACK_SIZE) {
        const std::uint16_t crc = crc_ccitt(&bytes[at], CDTEXT_PACK_SIZE - 2);
        bytes[at + CDTEXT_PACK_SIZE - 2] = static_cast<std::uint8_t>(crc >> 8);
        bytes[at + CDTEXT_PACK_SIZE - 1] = static_cast<std::uint8_t>(crc & 0xFF);
    }
}

/// A disc of three tracks for the transfer to fill.
std::unique_ptr<PQlist> three_track_disc()
{
    auto pq = pq_new();
    for (int n = 0; n < 3; ++n)
        new_track(*pq)->index[1] = 150 + 300L * n;
    pq->lead_out = 1050;
    return pq;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    if (size == 0)
        return 0;
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    if ((data[0] & 1) != 0)
        fix_pack_crcs(bytes);
    file_ptr in = fuzz::memory_file(bytes.data(), bytes.size());

    std::array<cdtext_block_info_t, 8> blocks{};
    const int scanned = cdtext_scan_blocks(in.get(), blocks.data());
    if (scanned < -1 || scanned > 1)
        __builtin_trap();
    for (const auto &block : blocks)
        if (block.first_track < 0 || block.first_track > 255 || block.last_track < 0 || block.last_track > 255)
            __builtin_trap();

    std::rewind(in.get());
    parse_cdtext(in.get());

    std::rewind(in.get());
    auto pq = three_track_disc();
    const int filled = cdtext_fill_pqlist(in.get(), *pq);
    if (filled < -1 || filled > 1 || pq_num_tracks(*pq) != 3)
        __builtin_trap();
    // What the transfer stored must be printable by the listings.
    pq_print_cdtext(*pq);

    std::rewind(in.get());
    cdt_dump(in.get());
    return 0;
}
