#include "miniddp.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "cue_writer.h"
#include "ddp_format.h"
#include "log.h"
#include "pq_cdtext.h"
#include "pqlist.h"
#include "safe_output.h"
#include "tolk_utils.h"

namespace {

/// The Q-subcode track number of the lead-out.
constexpr std::uint8_t lead_out_track = ddp_pq_entry::lead_out_track;

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
    ddp_id_record id;
    id.upc_ean = pq.upc_ean.data();
    id.master_id = master_id;
    id.user_text = user_text;
    // The user-text length counts at most the characters the text field shows.
    if (!id.user_text.empty())
        id.user_text_length = static_cast<long>(std::min(id.user_text.size(), ddp_field_width(&ddp_id_record::user_text)));
    const auto bytes = ddp_encode(id);
    if (!bytes || std::fwrite(bytes->data(), 1, bytes->size(), out) != bytes->size())
        return -1;
    return static_cast<int>(bytes->size());
}

// ---- DDPMS ----

void ddp_write_ms_packet(std::FILE *out, const char *dst, const char *sub, const char *dsi, int dsl, int pregap,
                         const char *mode, char mode1, char mode2, int track)
{
    ddp_map_packet packet;
    packet.type = dst;
    packet.dsl = dsl;
    packet.subcode = sub;
    packet.mode = mode;
    packet.ssm = std::string(1, mode1);
    packet.scm = std::string(1, mode2);
    packet.pre2 = pregap; // a negative pregap or track stays blank
    packet.track = track;
    packet.dsi = dsi;
    // A number too wide for its field would shift every field after it: such a packet is never written.
    const auto bytes = ddp_encode(packet);
    if (!bytes) {
        log_err("Internal error wile writing map strem packet\nDST=%s, SUB=%s, DSI=%s, DSL=%d\n", dst, sub, dsi, dsl);
        return;
    }
    std::fwrite(bytes->data(), 1, bytes->size(), out);
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
bool is_pq_descriptor_packet(std::string_view packet)
{
    if (!ddp_has_mark<ddp_map_packet>(packet))
        return false;
    const ddp_map_packet m = ddp_decode_map(packet);
    return m.type == "S0" && m.subcode == "PQ DESCR";
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
    std::array<char, ddp_map_packet::size> packet;
    for (;;) {
        const std::size_t n = std::fread(packet.data(), 1, packet.size(), in.get());
        if (n == 0)
            break;
        if (n != packet.size()) {
            // A map stream is whole packets; a torn one is not ours to rewrite.
            log_err("%s: %s\n", ms_path.c_str(), std::strerror(errno != 0 ? errno : EIO));
            return 1;
        }
        if (before_pq && !added && is_pq_descriptor_packet(std::string_view(packet.data(), packet.size()))) {
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
    ddp_pq_entry entry;
    entry.track = track;
    entry.index = index;
    std::uint8_t m, s, f;
    frames2msf(position, &m, &s, &f);
    entry.minutes = m;
    entry.seconds = s;
    entry.frames = f;
    entry.control = flags & 0x0F; // the Q-subcode CONTROL nibble
    entry.copy = (flags & PQ_FLAG_SCMS) ? "S" : "1";
    entry.isrc = isrc;
    entry.upc_ean = upc_ean;
    entry.user_text = user_text;
    const auto bytes = ddp_encode(entry);
    if (!bytes) {
        log_err("Internal error while writing SD packet.\n");
        return;
    }
    std::fwrite(bytes->data(), 1, bytes->size(), out);
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
        if (written != 2 * static_cast<int>(ddp_map_packet::size) || !finish_stream(ms))
            status = 1;
    } else {
        status = 1;
    }

    if (staged_file id(path_in(dir, "DDPID")); create_stream(id)) {
        log_msg(1, "Writing %s file... ", "DDPID");
        const int written = ddp_write_id_stream(id.get(), pq, master_id, "");
        log_msg(1, "%d bytes written.\n", written);
        if (written != static_cast<int>(ddp_id_record::size) || !finish_stream(id))
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

int ddp_prepare(const ddp_files &files)
{
    const char *dir = files.dir->c_str();
    std::vector<std::string> outputs;
    for (const ddp_file &f : files)
        if (f.written)
            outputs.push_back(ddp_file_path(files, f));
    // A fileset regenerated from its own files reads them while it replaces them; no other input
    // may be a file of the fileset.
    std::vector<output_input_t> checked;
    for (const char *name : {"IMAGE.cue", "IMAGE.DAT", "CDTEXT.BIN"})
        if (const ddp_file *f = files.find(name))
            for (const std::string &input : f->inputs)
                checked.push_back({input, ddp_file_path(files, *f)});
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

void ddp_remove_stale(const ddp_files &files)
{
    auto is_input = [&](const std::string &path) {
        bool read = false;
        for (const ddp_file &f : files)
            for (const std::string &input : f.inputs)
                read = read || output_same_file(input.c_str(), path.c_str());
        return read;
    };
    // An earlier CDTEXT.BIN goes even when this run writes one: the new map names CD-Text before
    // the new file replaces the old one, and must never name another disc's.
    for (const auto &[name, goes_anyway] : {std::pair{"IMAGE.cue", false}, std::pair{"CDTEXT.BIN", true}}) {
        const ddp_file *f = files.find(name);
        const bool writes = f != nullptr && f->written;
        if (writes && !goes_anyway)
            continue;
        const std::string path = path_in(files.dir->c_str(), name);
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
