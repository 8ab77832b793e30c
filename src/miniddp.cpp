#include "miniddp.h"

#include <array>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "cue_writer.h"
#include "log.h"
#include "pq_cdtext.h"
#include "pqlist.h"
#include "safe_output.h"
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

/// Starts `name` in the fileset directory under its temporary name; reports a failure.
bool create_stream(staged_file &file)
{
    if (!file)
        log_err("%s: %s\n", file.path().c_str(), std::strerror(errno));
    return static_cast<bool>(file);
}

/// The same for a stream whose "Writing ... " line is already shown: a failure completes that line.
bool open_announced(staged_file &file)
{
    if (!file) {
        const int err = errno;
        log_msg(1, "failed.\n");
        errno = err;
    }
    return create_stream(file);
}

/// Puts a stream we wrote in place under its final name. A stream cut short never gets
/// there: the checksum files would vouch for it and a plant could take it for whole.
bool finish_stream(staged_file &file)
{
    if (file.commit())
        return true;
    log_err("%s: %s\n", file.path().c_str(), std::strerror(errno));
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
    // Blank fields stay blank; numbers are formatted only when present.
    std::array<char, 16> pregap_text{};
    std::array<char, 16> track_text{};
    std::snprintf(pregap_text.data(), pregap_text.size(), "    ");
    std::snprintf(track_text.data(), track_text.size(), "  ");
    if (pregap >= 0)
        std::snprintf(pregap_text.data(), pregap_text.size(), "%d", pregap);
    if (track >= 0)
        std::snprintf(track_text.data(), track_text.size(), "%02d", track);
    // VVVM, DST, DSL, SUB, mode, pregap, track, DSI length 17, DSI: 128 bytes. A number too wide
    // for its field would shift every field after it: such a packet is never written.
    std::array<char, 2 * map_packet_size> packet{};
    const int length = std::snprintf(packet.data(), packet.size(),
                                     "VVVM%-2.2s        %8d        %-8.8s%-2.2s%c%c    %4s     %-2.2s               17"
                                     "%-17.17s                                     ",
                                     dst, dsl, sub, mode, mode1, mode2, pregap_text.data(), track_text.data(), dsi);
    if (length != map_packet_size) {
        log_err("Internal error wile writing map strem packet\nDST=%s, SUB=%s, DSI=%s, DSL=%d\n", dst, sub, dsi, dsl);
        return;
    }
    std::fwrite(packet.data(), 1, map_packet_size, out);
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

/// Replaces DDPMS by a copy with one more packet: before the PQ descriptor packet with
/// `before_pq` (none added when the map has no such packet), else at the end. 0 when the new
/// map is in place; 1 otherwise, and the old map is untouched.
int rewrite_map(const char *dir, bool before_pq, const char *dst, const char *sub, const char *dsi, int dsl,
                int track)
{
    const std::string ms_path = path_in(dir, "DDPMS");
    file_ptr in = tolk_fopen(ms_path.c_str(), "rb");
    if (!in) {
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
        return 1;
    }
    // The new map is written beside the old one and replaces it in one step, so that
    // either the old DDPMS or the whole new one exists.
    staged_file out(ms_path);
    if (!create_stream(out))
        return 1;

    bool added = false;
    std::array<char, map_packet_size> packet;
    for (;;) {
        const std::size_t n = std::fread(packet.data(), 1, packet.size(), in.get());
        if (n == 0)
            break;
        if (n != packet.size()) {
            // A map stream is whole packets; a torn one is not ours to rewrite.
            log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno != 0 ? errno : EIO));
            return 1;
        }
        if (before_pq && !added && is_pq_descriptor_packet(packet.data())) {
            ddp_write_ms_packet(out.get(), dst, sub, dsi, dsl, -1, "", ' ', ' ', track);
            added = true;
        }
        if (std::fwrite(packet.data(), 1, packet.size(), out.get()) != packet.size()) {
            log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    if (std::ferror(in.get())) {
        log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno));
        return 1;
    }
    if (!before_pq) {
        ddp_write_ms_packet(out.get(), dst, sub, dsi, dsl, -1, "", ' ', ' ', track);
        added = true;
    }
    if (!added)
        return 1;
    return finish_stream(out) ? 0 : 1;
}

} // namespace

int ddp_link_cdtext_file(const char *dir, const char *cdtext_name, int size)
{
    // CD-Text is a subcode stream that the plant reads before the PQ descriptor.
    return rewrite_map(dir, true, "S0", "CDTEXT  ", cdtext_name, size, 0);
}

void ddp_add_file(const char *dir, const char *dst, const char *sub, const char *dsi, int dsl, int track)
{
    rewrite_map(dir, false, dst, sub, dsi, dsl, track);
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
    if (!pq_check(pq, 0))
        return 1;
    int status = 0;

    int sd_size = 0;
    if (staged_file sd(path_in(dir, "SD")); create_stream(sd)) {
        log_msg(1, "Writing %s file... ", "SD");
        sd_size = ddp_write_sd_stream(sd.get(), pq);
        log_msg(1, "%d bytes written.\n", sd_size);
        if (!finish_stream(sd))
            status = 1;
    } else {
        status = 1;
    }

    const PQtrack &first = *pq.tracks;
    const long pregap = first.index[1] - first.index[0];

    if (staged_file ms(path_in(dir, "DDPMS")); create_stream(ms)) {
        log_msg(1, "Writing %s file... ", "DDPMS");
        const int written = ddp_write_ms_stream(ms.get(), "IMAGE.DAT", static_cast<int>(pq.lead_out), "SD", sd_size,
                                                static_cast<int>(pregap));
        log_msg(1, "%d bytes written.\n", written);
        if (written != 2 * map_packet_size || !finish_stream(ms))
            status = 1;
    } else {
        status = 1;
    }

    if (staged_file id(path_in(dir, "DDPID")); create_stream(id)) {
        log_msg(1, "Writing %s file... ", "DDPID");
        const int written = ddp_write_id_stream(id.get(), pq, master_id, "");
        log_msg(1, "%d bytes written.\n", written);
        if (written != ddpid_record_size || !finish_stream(id))
            status = 1;
    } else {
        status = 1;
    }
    return status;
}

namespace {

/// Puts a finished CDTEXT.BIN of `size` bytes in place: DDPMS names it first, and only then
/// does it replace an older CDTEXT.BIN, so that a failure leaves the old file as it was.
bool link_and_finish(const char *dir, staged_file &cdtext, long size)
{
    if (std::fflush(cdtext.get()) != 0 || std::ferror(cdtext.get())) {
        log_err("%s: %s\n", cdtext.path().c_str(), std::strerror(errno != 0 ? errno : EIO));
        return false;
    }
    if (ddp_link_cdtext_file(dir, "CDTEXT.BIN", static_cast<int>(size)) != 0) {
        log_err("linking CD text file faild.\n");
        return false;
    }
    return finish_stream(cdtext);
}

} // namespace

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
    staged_file out(path_in(dir, "CDTEXT.BIN"));
    if (!open_announced(out))
        return -1;
    if (pq_write_cdtext(pq, out.get()) != 0) {
        log_msg(1, "nothing to write, no CD text found, removing file.\n");
        return -2;
    }
    const long size = std::ftell(out.get());
    log_msg(1, "%ld bytes written.\n", size);
    return link_and_finish(dir, out, size) ? 0 : 1;
}

int ddp_write_cdtext_from_file(const char *dir, const char *path, long skip)
{
    std::printf("Writing %s file ", "CDTEXT.BIN");
    std::printf("(source: %s)...\n", path);

    auto fail = []() {
        log_err("No CD text written!\n");
        return 1;
    };
    file_ptr src = tolk_fopen(path, "rb");
    if (!src) {
        log_err("Can't open file: '%s' (%s)\n", path, std::strerror(errno));
        return fail();
    }
    // A header before the packs (a length and two reserved bytes) is not part of CDTEXT.BIN.
    if (skip > 0 && std::fseek(src.get(), skip, SEEK_SET) != 0) {
        log_err("%s: error reading file (%s)\n", path, std::strerror(errno));
        return fail();
    }
    // The source may be this fileset's own CDTEXT.BIN: it is read to its end before the copy replaces it.
    staged_file dest(path_in(dir, "CDTEXT.BIN"));
    if (!dest) {
        log_err("Can't open file: '%s' (%s)\n", dest.path().c_str(), std::strerror(errno));
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
            log_err("%s: writing file (%s)\n", dest.path().c_str(), std::strerror(errno));
            return fail();
        }
        total += n;
    }
    if (std::ferror(src.get())) {
        log_err("%s: error reading file (%s)\n", path, std::strerror(errno));
        return fail();
    }
    if (std::fflush(dest.get()) != 0) {
        log_err("%s: writing file (%s)\n", dest.path().c_str(), std::strerror(errno));
        return fail();
    }
    if (ddp_link_cdtext_file(dir, "CDTEXT.BIN", static_cast<int>(total)) != 0)
        return fail();
    if (!dest.commit()) {
        log_err("%s: writing file (%s)\n", dest.path().c_str(), std::strerror(errno));
        return fail();
    }
    log_msg(1, "%lu bytes written.\n", total);
    return 0;
}

int ddp_write_cuesheet(const char *dir, const PQlist &pq)
{
    log_msg(1, "Writing %s file... ", "IMAGE.cue");
    staged_file out(path_in(dir, "IMAGE.cue"));
    if (!open_announced(out))
        return -1;
    // Japanese texts go into the cue sheet as UTF-8, marked so that no reader takes them for
    // a code page; ISO 8859-1 texts as they are in the CD-Text.
    const bool utf8 = pq.text_charset == CDTEXT_CHARSET_MSJIS;
    if (utf8)
        std::fputs("\xEF\xBB\xBF", out.get());
    const int refused =
        pq_write_cuesheet(utf8 ? *pq_utf8_copy(pq) : pq, "IMAGE.DAT", "BINARY", 0, nullptr, out.get());
    log_msg(1, "%ld bytes written.\n", std::ftell(out.get()));
    if (refused != 0)
        return -1;
    return finish_stream(out) ? 0 : -1;
}

// ---- The run around the fileset ----

int ddp_prepare(const char *dir, const ddp_inputs_t &inputs, bool with_cuesheet, bool with_cdtext)
{
    std::vector<std::string> outputs;
    for (const char *name : {"IMAGE.DAT", "SD", "DDPMS", "DDPID", "CHECKSUM.MD5", "CHECKSUM.TXT"})
        outputs.push_back(path_in(dir, name));
    if (with_cdtext)
        outputs.push_back(path_in(dir, "CDTEXT.BIN"));
    if (with_cuesheet)
        outputs.push_back(path_in(dir, "IMAGE.cue"));

    std::vector<output_input_t> checked;
    if (!inputs.cuesheet.empty())
        checked.push_back({inputs.cuesheet, path_in(dir, "IMAGE.cue")});
    for (const auto &audio : inputs.audio)
        checked.push_back({audio, path_in(dir, "IMAGE.DAT")});
    if (!inputs.cdtext.empty())
        checked.push_back({inputs.cdtext, path_in(dir, "CDTEXT.BIN")});
    if (output_check_inputs(checked, outputs) != 0)
        return 1;

    output_remove_leftovers(dir);
    // The checksum files go first: they must never list a file that is gone. DDPID, written last of
    // the streams, goes next: until the new one is in, no new image stands beside an old map that a
    // reader could take for a fileset.
    for (const char *name : {"CHECKSUM.MD5", "CHECKSUM.TXT", "DDPID"}) {
        const std::string path = path_in(dir, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
            log_err("%s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    return 0;
}

void ddp_remove_stale(const char *dir, const ddp_inputs_t &inputs, bool writes_cuesheet, bool writes_cdtext)
{
    auto is_input = [&](const std::string &path) {
        bool read = output_same_file(inputs.cuesheet.c_str(), path.c_str()) ||
                    output_same_file(inputs.cdtext.c_str(), path.c_str());
        for (const auto &audio : inputs.audio)
            read = read || output_same_file(audio.c_str(), path.c_str());
        return read;
    };
    // An earlier CDTEXT.BIN goes even when this run writes one: the new map names CD-Text before
    // the new file replaces the old one, and must never name another disc's.
    for (const auto &[name, writes, goes_anyway] : {std::tuple{"IMAGE.cue", writes_cuesheet, false},
                                                 std::tuple{"CDTEXT.BIN", writes_cdtext, true}}) {
        if (writes && !goes_anyway)
            continue;
        const std::string path = path_in(dir, name);
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || is_input(path))
            continue;
        if (unlink(path.c_str()) != 0)
            log_warn("%s, left by an earlier run, could not be removed: %s\n", path.c_str(), std::strerror(errno));
        else if (!writes)
            log_msg(1, "Removed %s of an earlier run: it does not describe this disc.\n", path.c_str());
    }
}

std::optional<std::string> ddp_get_data_path(const char *dir) { return tolk_path_join(dir, "IMAGE.DAT"); }
