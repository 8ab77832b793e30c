#include "miniddp.h"

#include <array>
#include <cerrno>
#include <cstring>

#include "cdtext.h"
#include "log.h"
#include "pqlist.h"
#include "tolk_utils.h"

namespace {

/// A DDPID record is 128 bytes.
constexpr long ddpid_record_size = 128;
/// A DDPMS map packet is 128 bytes.
constexpr long map_packet_size = 128;
/// An SD entry is 64 bytes.
constexpr long sd_entry_size = 64;
/// The Q-subcode track number of the lead-out, written "AA".
constexpr std::uint8_t lead_out_track = 170;

std::string path_in(const char *dir, const char *name) { return tolk_path_join(dir, name).value_or(name); }

/// Creates `name` in the fileset directory for binary writing; reports a failure.
file_ptr create_stream(const std::string &path)
{
    file_ptr fp = tolk_fopen(path.c_str(), "wb");
    if (!fp)
        log_err("%s: %s\n", path.c_str(), std::strerror(errno));
    return fp;
}

/// Opens a stream whose "Writing ... " line is already shown; a failure completes that
/// line and is reported with the path.
file_ptr open_announced(const std::string &path, const char *mode)
{
    file_ptr fp = tolk_fopen(path.c_str(), mode);
    if (!fp) {
        log_msg(1, "failed.\n");
        log_err("%s: %s\n", path.c_str(), std::strerror(errno));
    }
    return fp;
}

/// Flushes and closes a stream we wrote; reports a write error with the path and removes
/// the file: a stream cut short must not stay in the fileset, where the checksum files
/// would vouch for it and a plant could take it for whole.
bool finish_stream(file_ptr &fp, const std::string &path)
{
    if (close_checked(fp))
        return true;
    log_err("%s: %s\n", path.c_str(), std::strerror(errno));
    std::remove(path.c_str());
    return false;
}

} // namespace

// ---- DDPID ----

int ddp_write_id_stream(std::FILE *out, const PQlist &pq, const char *master_id, const char *user_text)
{
    // The user-text length field counts at most the 32 characters the text field shows.
    std::array<char, 3> length_text{};
    std::size_t user_len = std::strlen(user_text);
    if (user_len > 0) {
        if (user_len > 32)
            user_len = 32;
        if (std::snprintf(length_text.data(), length_text.size(), "%2d", static_cast<int>(user_len)) != 2)
            return -1;
    }
    // DDP level, UPC/EAN, master identifier, medium "CD", user text: 128 bytes.
    const int written = std::fprintf(out, "DDP 2.00%-13.13s                 %-48.48s CD     %-2.2s%-32.32s",
                                     pq.upc_ean.data(), master_id, length_text.data(), user_text);
    return written == ddpid_record_size ? static_cast<int>(ddpid_record_size) : -1;
}

// ---- DDPMS ----

void ddp_write_ms_packet(std::FILE *out, const char *dst, const char *sub, const char *dsi, int dsl, int pregap,
                         const char *mode, char mode1, char mode2, int track)
{
    const long before = std::ftell(out);
    // Blank fields stay blank; numbers are formatted only when present.
    std::array<char, 16> pregap_text{};
    std::array<char, 16> track_text{};
    std::snprintf(pregap_text.data(), pregap_text.size(), "    ");
    std::snprintf(track_text.data(), track_text.size(), "  ");
    if (pregap >= 0)
        std::snprintf(pregap_text.data(), pregap_text.size(), "%d", pregap);
    if (track >= 0)
        std::snprintf(track_text.data(), track_text.size(), "%02d", track);
    // VVVM, DST, DSL, SUB, mode, pregap, track, DSI length 17, DSI: 128 bytes.
    std::fprintf(out,
                 "VVVM%-2.2s        %8d        %-8.8s%-2.2s%c%c    %4s     %-2.2s               17%-17.17s"
                 "                                     ",
                 dst, dsl, sub, mode, mode1, mode2, pregap_text.data(), track_text.data(), dsi);
    if (std::ftell(out) - before != map_packet_size)
        log_err("Internal error wile writing map strem packet\nDST=%s, SUB=%s, DSI=%s, DSL=%d\n", dst, sub, dsi, dsl);
}

int ddp_write_ms_stream(std::FILE *out, const char *image_name, int image_sectors, const char *pq_name, int pq_size,
                        int pregap)
{
    ddp_write_ms_packet(out, "S0", "PQ DESCR", pq_name, pq_size, -1, "", ' ', ' ', -1);
    // The audio stream: CD-DA ("DA"), data stream length in sectors, track 1's pregap.
    ddp_write_ms_packet(out, "D0", "", image_name, image_sectors, pregap, "DA", '7', '1', -1);
    return static_cast<int>(std::ftell(out));
}

namespace {

/// A map packet that describes the PQ descriptor stream.
bool is_pq_descriptor_packet(const char *packet)
{
    return std::memcmp(packet, "VVVM", 4) == 0 && std::memcmp(packet + 4, "S0", 2) == 0 &&
           std::memcmp(packet + 30, "PQ DESCR", 8) == 0;
}

} // namespace

int ddp_link_cdtext_file(const char *dir, const char *cdtext_name, int size)
{
    const std::string ms_path = path_in(dir, "DDPMS");
    const std::string tmp_path = path_in(dir, "DDPMS_");

    file_ptr in = tolk_fopen(ms_path.c_str(), "r+b");
    if (!in) {
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
        return 1;
    }
    file_ptr out = tolk_fopen(tmp_path.c_str(), "wb");
    if (!out) {
        log_err("%s: %s\n", tmp_path.c_str(), std::strerror(errno));
        return 1;
    }
    auto fail = [&]() {
        in.reset();
        out.reset();
        std::remove(tmp_path.c_str());
        return 1;
    };

    bool linked = false;
    std::array<char, map_packet_size> packet;
    for (;;) {
        const std::size_t n = std::fread(packet.data(), 1, packet.size(), in.get());
        if (n == 0)
            break;
        if (n != packet.size()) {
            // A map stream is whole packets; a torn one is not ours to rewrite.
            log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno != 0 ? errno : EIO));
            return fail();
        }
        if (is_pq_descriptor_packet(packet.data())) {
            // CD-Text is a subcode stream that the plant reads before the PQ descriptor.
            ddp_write_ms_packet(out.get(), "S0", "CDTEXT  ", cdtext_name, size, -1, "", ' ', ' ', 0);
            linked = true;
        }
        if (std::fwrite(packet.data(), 1, packet.size(), out.get()) != packet.size()) {
            log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
            return fail();
        }
    }
    if (std::ferror(in.get())) {
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
        return fail();
    }
    if (!linked)
        return fail();
    in.reset();
    if (!close_checked(out)) {
        log_err("%s: %s\n", tmp_path.c_str(), std::strerror(errno));
        return fail();
    }
    // Replace the map stream in one step: either the old DDPMS or the new one exists.
    if (std::rename(tmp_path.c_str(), ms_path.c_str()) != 0) {
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
        return fail();
    }
    return 0;
}

void ddp_add_file(const char *dir, const char *dst, const char *sub, const char *dsi, int dsl, int track)
{
    const std::string ms_path = path_in(dir, "DDPMS");
    file_ptr fp = tolk_fopen(ms_path.c_str(), "ab");
    if (!fp)
        return;
    ddp_write_ms_packet(fp.get(), dst, sub, dsi, dsl, -1, "", ' ', ' ', track);
    if (!close_checked(fp))
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
}

// ---- SD ----

void ddp_write_sd_packet(std::FILE *out, std::uint8_t track, std::uint8_t index, long position, const char *isrc,
                         const char *upc_ean, const char *user_text, std::uint8_t flags)
{
    const long before = std::ftell(out);
    const char scms = (flags & PQ_FLAG_SCMS) ? 'S' : '1';
    const unsigned control = flags & 0x0F; // the Q-subcode CONTROL nibble
    std::array<char, 4> track_text{};
    std::snprintf(track_text.data(), track_text.size(), track == lead_out_track ? "%02X" : "%02d", track);
    std::uint8_t m, s, f;
    frames2msf(position, &m, &s, &f);
    // VVVS, track, index, MSF, control, SCMS, ISRC, UPC/EAN, user text: 64 bytes.
    std::fprintf(out, "VVVS%-2.2s%02d  %02d%02d%02d%X%c  %-12.12s%-13.13s%-19.19s", track_text.data(), index, m, s, f,
                 control, scms, isrc, upc_ean, user_text);
    if (std::ftell(out) - before != sd_entry_size)
        log_err("Internal error while writing SD packet.\n");
}

int ddp_write_sd_stream(std::FILE *out, const PQlist &pq)
{
    // The disc entry carries the catalog number.
    ddp_write_sd_packet(out, 0, 0, 0, "", pq.upc_ean.data(), "", 0);
    std::uint8_t n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        bool first = true;
        for (int i = 0; i < PQ_MAX_INDEX; ++i) {
            if (t->index[i] == -1)
                continue;
            // The ISRC goes with the track's first entry only.
            ddp_write_sd_packet(out, n, static_cast<std::uint8_t>(i), t->index[i], first ? t->isrc.data() : "", "",
                                "", t->flags);
            first = false;
        }
    }
    // The lead-out is described twice.
    ddp_write_sd_packet(out, lead_out_track, 1, pq.lead_out, "", "", "", 0);
    ddp_write_sd_packet(out, lead_out_track, 1, pq.lead_out, "", "", "", 0);
    return static_cast<int>(std::ftell(out));
}

// ---- The fileset ----

int ddp_write(const char *dir, const PQlist &pq, const char *master_id)
{
    if (!pq_check(pq))
        return 1;
    int status = 0;

    int sd_size = 0;
    const std::string sd_path = path_in(dir, "SD");
    if (file_ptr fp = create_stream(sd_path)) {
        log_msg(1, "Writing %s file... ", "SD");
        sd_size = ddp_write_sd_stream(fp.get(), pq);
        log_msg(1, "%d bytes written.\n", sd_size);
        if (!finish_stream(fp, sd_path))
            status = 1;
    } else {
        status = 1;
    }

    const PQtrack &first = *pq.tracks;
    const long pregap = first.index[1] - first.index[0];

    const std::string ms_path = path_in(dir, "DDPMS");
    if (file_ptr fp = create_stream(ms_path)) {
        log_msg(1, "Writing %s file... ", "DDPMS");
        const int written = ddp_write_ms_stream(fp.get(), "IMAGE.DAT", static_cast<int>(pq.lead_out), "SD", sd_size,
                                                static_cast<int>(pregap));
        log_msg(1, "%d bytes written.\n", written);
        if (!finish_stream(fp, ms_path))
            status = 1;
    } else {
        status = 1;
    }

    const std::string id_path = path_in(dir, "DDPID");
    if (file_ptr fp = create_stream(id_path)) {
        log_msg(1, "Writing %s file... ", "DDPID");
        const int written = ddp_write_id_stream(fp.get(), pq, master_id, "");
        log_msg(1, "%d bytes written.\n", written);
        if (!finish_stream(fp, id_path) || written != ddpid_record_size)
            status = 1;
    } else {
        status = 1;
    }
    return status;
}

int ddp_write_cdtext(const char *dir, const PQlist &pq)
{
    // One block holds at most 256 packs; more would wrap its sequence numbers and counts.
    const long packs = pq_cdtext_pack_count(pq);
    if (packs > CDTEXT_MAX_PACKS) {
        log_err("CD text is too long for one block: it needs %ld packs, but at most %d fit; %s not written\n", packs,
                CDTEXT_MAX_PACKS, "CDTEXT.BIN");
        return -3;
    }
    log_msg(1, "Writing %s file... ", "CDTEXT.BIN");
    const std::string path = path_in(dir, "CDTEXT.BIN");
    file_ptr fp = open_announced(path, "wb");
    if (!fp)
        return -1;
    if (pq_write_cdtext(pq, fp.get()) != 0) {
        log_msg(1, "nothing to write, no CD text found, removing file.\n");
        fp.reset();
        std::remove(path.c_str());
        return -2;
    }
    const long size = std::ftell(fp.get());
    log_msg(1, "%ld bytes written.\n", size);
    if (!finish_stream(fp, path)) {
        std::remove(path.c_str());
        return -1;
    }
    if (ddp_link_cdtext_file(dir, "CDTEXT.BIN", static_cast<int>(size)) != 0) {
        log_err("linking CD text file faild.\n");
        return 1;
    }
    return 0;
}

int ddp_write_cdtext_from_file(const char *dir, const char *path)
{
    std::printf("Writing %s file ", "CDTEXT.BIN");
    std::printf("(source: %s)...\n", path);

    const std::string dest_path = path_in(dir, "CDTEXT.BIN");
    file_ptr src = tolk_fopen(path, "rb");
    file_ptr dest;
    auto fail = [&]() {
        log_err("No CD text written!\n");
        src.reset();
        if (dest) {
            dest.reset();
            std::remove(dest_path.c_str());
        }
        return 1;
    };
    if (!src) {
        log_err("Can't open file: '%s' (%s)\n", path, std::strerror(errno));
        return fail();
    }
    dest = tolk_fopen(dest_path.c_str(), "wb");
    if (!dest) {
        log_err("Can't open file: '%s' (%s)\n", dest_path.c_str(), std::strerror(errno));
        return fail();
    }

    // Copy pack by pack; a short last piece is copied as it is.
    unsigned long total = 0;
    std::array<unsigned char, 18> piece;
    for (;;) {
        const std::size_t n = std::fread(piece.data(), 1, piece.size(), src.get());
        if (n == 0)
            break;
        if (std::fwrite(piece.data(), 1, n, dest.get()) != n) {
            log_err("%s: writing file (%s)\n", dest_path.c_str(), std::strerror(errno));
            return fail();
        }
        total += n;
    }
    if (std::ferror(src.get())) {
        log_err("%s: error reading file (%s)\n", path, std::strerror(errno));
        return fail();
    }
    // The copy must be complete on disk before DDPMS names it.
    if (!close_checked(dest)) {
        log_err("%s: writing file (%s)\n", dest_path.c_str(), std::strerror(errno));
        std::remove(dest_path.c_str());
        return fail();
    }
    if (ddp_link_cdtext_file(dir, "CDTEXT.BIN", static_cast<int>(total)) != 0) {
        std::remove(dest_path.c_str());
        return fail();
    }
    log_msg(1, "%lu bytes written.\n", total);
    return 0;
}

int ddp_write_cuesheet(const char *dir, const PQlist &pq)
{
    log_msg(1, "Writing %s file... ", "IMAGE.cue");
    const std::string path = path_in(dir, "IMAGE.cue");
    file_ptr fp = open_announced(path, "w");
    if (!fp)
        return -1;
    const int refused = pq_write_cuesheet(pq, "IMAGE.DAT", "BINARY", 0, nullptr, fp.get());
    log_msg(1, "%ld bytes written.\n", std::ftell(fp.get()));
    if (!finish_stream(fp, path) || refused != 0)
        return -1;
    return 0;
}

std::optional<std::string> ddp_get_data_path(const char *dir) { return tolk_path_join(dir, "IMAGE.DAT"); }
