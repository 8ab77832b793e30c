#include "flac_encoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "safe_output.h"

#ifdef KORVEL_HAVE_FLAC
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <array>
#include <cstdio>

namespace {

/// CD audio: 588 sample frames to a CD frame, 44,100 a second.
constexpr unsigned samples_per_sector = 588;
constexpr unsigned sample_rate = 44100;
/// The lead-in that CD players count before track 1's pregap: two seconds, as a CD cue sheet states it.
constexpr FLAC__uint64 cd_lead_in_samples = 2 * sample_rate;
/// The CUESHEET block's lead-out track number on a CD.
constexpr unsigned cd_lead_out_track = 170;
/// A seek point every ten seconds and room for later tags, as the flac tool writes them by default.
constexpr unsigned seek_spacing_samples = 10 * sample_rate;
constexpr unsigned padding_bytes = 8192;
/// Sample frames converted to libFLAC's 32-bit samples at a time: a small buffer for a block of any size.
constexpr std::size_t chunk_frames = 4096;

struct encoder_free {
    void operator()(FLAC__StreamEncoder *e) const { FLAC__stream_encoder_delete(e); }
};
struct metadata_free {
    void operator()(FLAC__StreamMetadata *m) const { FLAC__metadata_object_delete(m); }
};
using metadata_ptr = std::unique_ptr<FLAC__StreamMetadata, metadata_free>;

} // namespace

struct flac_encoder::state {
    explicit state(const std::string &path) : file(path) {}
    // Declared in this order so that the encoder goes first, then the blocks it points at, then the file.
    staged_file file;
    std::string error;
    std::vector<metadata_ptr> blocks;
    std::unique_ptr<FLAC__StreamEncoder, encoder_free> encoder;
    std::array<FLAC__int32, 2 * chunk_frames> samples{};
    int write_errno = 0;
    bool ok = false;
    bool finished = false;
};

namespace {

FLAC__StreamEncoderWriteStatus write_cb(const FLAC__StreamEncoder *, const FLAC__byte buffer[], size_t bytes,
                                        uint32_t, uint32_t, void *client)
{
    auto *s = static_cast<flac_encoder::state *>(client);
    if (s->file.write(buffer, bytes))
        return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
    s->write_errno = errno != 0 ? errno : EIO;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

// At the end libFLAC goes back to the STREAMINFO block to put the MD5 signature and the frame sizes in.
FLAC__StreamEncoderSeekStatus seek_cb(const FLAC__StreamEncoder *, FLAC__uint64 offset, void *client)
{
    auto *s = static_cast<flac_encoder::state *>(client);
    if (std::fseek(s->file.get(), static_cast<long>(offset), SEEK_SET) == 0)
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    s->write_errno = errno != 0 ? errno : EIO;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus tell_cb(const FLAC__StreamEncoder *, FLAC__uint64 *offset, void *client)
{
    auto *s = static_cast<flac_encoder::state *>(client);
    const long at = std::ftell(s->file.get());
    if (at < 0)
        return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    *offset = static_cast<FLAC__uint64>(at);
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

metadata_ptr vorbis_comments(const flac_metadata &m)
{
    metadata_ptr block(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
    for (const auto &[name, value] : m.tags) {
        if (value.empty())
            continue;
        FLAC__StreamMetadata_VorbisComment_Entry entry;
        if (!block || !FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, name.c_str(), value.c_str()) ||
            !FLAC__metadata_object_vorbiscomment_append_comment(block.get(), entry, false))
            return nullptr;
    }
    return block;
}

/// Appends a track of the CUESHEET block; false when libFLAC has no memory for it.
bool add_cue_track(FLAC__StreamMetadata *block, const flac_cue_track &t)
{
    const unsigned n = block->data.cue_sheet.num_tracks;
    if (!FLAC__metadata_object_cuesheet_insert_blank_track(block, n))
        return false;
    FLAC__StreamMetadata_CueSheet_Track &track = block->data.cue_sheet.tracks[n];
    track.offset = static_cast<FLAC__uint64>(t.start) * samples_per_sector;
    track.number = static_cast<FLAC__byte>(t.number);
    std::strncpy(track.isrc, t.isrc.c_str(), sizeof track.isrc - 1);
    track.type = 0; // audio
    track.pre_emphasis = t.pre_emphasis ? 1 : 0;
    for (const flac_cue_index &i : t.indexes) {
        const unsigned k = block->data.cue_sheet.tracks[n].num_indices;
        if (!FLAC__metadata_object_cuesheet_track_insert_blank_index(block, n, k))
            return false;
        block->data.cue_sheet.tracks[n].indices[k].offset = static_cast<FLAC__uint64>(i.frames) * samples_per_sector;
        block->data.cue_sheet.tracks[n].indices[k].number = static_cast<FLAC__byte>(i.number);
    }
    return true;
}

/// The CUESHEET block of a whole disc of `sectors`; null with `error` set when it cannot be made.
metadata_ptr cue_sheet_block(const flac_cue_sheet &cue, long sectors, std::string &error)
{
    metadata_ptr block(FLAC__metadata_object_new(FLAC__METADATA_TYPE_CUESHEET));
    if (!block)
        return nullptr;
    FLAC__StreamMetadata_CueSheet &sheet = block->data.cue_sheet;
    std::strncpy(sheet.media_catalog_number, cue.catalog.c_str(), sizeof sheet.media_catalog_number - 1);
    sheet.lead_in = cd_lead_in_samples;
    sheet.is_cd = true;
    flac_cue_track lead_out;
    lead_out.number = cd_lead_out_track;
    lead_out.start = sectors;
    for (const flac_cue_track &t : cue.tracks)
        if (!add_cue_track(block.get(), t))
            return nullptr;
    if (!add_cue_track(block.get(), lead_out))
        return nullptr;
    const char *violation = nullptr;
    if (!FLAC__metadata_object_cuesheet_is_legal(block.get(), true, &violation)) {
        error = std::string("the disc's table of contents makes no CD cue sheet for FLAC: ") + violation;
        return nullptr;
    }
    return block;
}

/// The metadata blocks of the file, in their order; false with `error` set when one cannot be made.
bool make_blocks(const flac_metadata &m, long sectors, flac_encoder::state &s)
{
    s.blocks.push_back(vorbis_comments(m));
    if (m.cue_sheet)
        s.blocks.push_back(cue_sheet_block(*m.cue_sheet, sectors, s.error));
    const FLAC__uint64 total = static_cast<FLAC__uint64>(sectors) * samples_per_sector;
    if (total > 0) {
        metadata_ptr seek(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
        if (seek && (!FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(seek.get(), seek_spacing_samples, total) ||
                     !FLAC__metadata_object_seektable_template_sort(seek.get(), true)))
            seek.reset();
        s.blocks.push_back(std::move(seek));
    }
    metadata_ptr padding(FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING));
    if (padding)
        padding->length = padding_bytes;
    s.blocks.push_back(std::move(padding));
    for (const metadata_ptr &b : s.blocks)
        if (!b) {
            if (s.error.empty())
                s.error = "no memory for the FLAC metadata";
            return false;
        }
    return true;
}

/// Sets the encoder up as the release set wants it and starts the stream. libFLAC computes the
/// MD5 signature of the audio always; the seek callback lets it write it into STREAMINFO at the end.
bool start_encoder(long sectors, flac_encoder::state &s)
{
    s.encoder.reset(FLAC__stream_encoder_new());
    FLAC__StreamEncoder *e = s.encoder.get();
    if (e == nullptr) {
        s.error = "no memory for the FLAC encoder";
        return false;
    }
    std::vector<FLAC__StreamMetadata *> blocks;
    for (const metadata_ptr &b : s.blocks)
        blocks.push_back(b.get());
    const bool set = FLAC__stream_encoder_set_channels(e, 2) && FLAC__stream_encoder_set_bits_per_sample(e, 16) &&
                     FLAC__stream_encoder_set_sample_rate(e, sample_rate) &&
                     FLAC__stream_encoder_set_compression_level(e, 5) &&
                     FLAC__stream_encoder_set_total_samples_estimate(
                         e, static_cast<FLAC__uint64>(sectors) * samples_per_sector) &&
                     FLAC__stream_encoder_set_metadata(e, blocks.data(), static_cast<unsigned>(blocks.size()));
    if (!set || FLAC__stream_encoder_init_stream(e, write_cb, seek_cb, tell_cb, nullptr, &s) !=
                    FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        s.error = std::string("the FLAC encoder would not start: ") +
                  FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(e)];
        return false;
    }
    return true;
}

/// Records why the encoder stopped: the file's write error, or libFLAC's own state.
bool encoder_failed(flac_encoder::state &s)
{
    s.ok = false;
    if (s.write_errno != 0)
        errno = s.write_errno;
    else if (s.error.empty())
        s.error = FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(s.encoder.get())];
    return false;
}

} // namespace

bool flac_encoding_built_in() { return true; }

flac_encoder::flac_encoder(const std::string &path, const flac_metadata &metadata, long sectors)
    : s_(std::make_unique<state>(path))
{
    if (!s_->file)
        return;
    const int err = errno;
    s_->ok = make_blocks(metadata, sectors, *s_) && start_encoder(sectors, *s_);
    if (!s_->ok)
        errno = err != 0 ? err : EINVAL;
}

bool flac_encoder::write(const unsigned char *data, std::size_t n)
{
    if (!s_->ok)
        return false;
    // Whole sample frames only: a stray byte at the end would be no sample.
    for (std::size_t done = 0; done + 4 <= n;) {
        const std::size_t frames = std::min(chunk_frames, (n - done) / 4);
        for (std::size_t i = 0; i < 2 * frames; ++i) {
            const unsigned char *p = data + done + 2 * i;
            s_->samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
        }
        if (!FLAC__stream_encoder_process_interleaved(s_->encoder.get(), s_->samples.data(),
                                                      static_cast<unsigned>(frames)))
            return encoder_failed(*s_);
        done += 4 * frames;
    }
    return true;
}

bool flac_encoder::finish()
{
    if (s_->finished)
        return true;
    if (!s_->ok || !FLAC__stream_encoder_finish(s_->encoder.get())) {
        encoder_failed(*s_);
        const int err = errno;
        s_->file.discard();
        errno = err;
        return false;
    }
    s_->finished = true;
    return s_->file.finish();
}

#else // without libFLAC

struct flac_encoder::state {
    explicit state(const std::string &path) : path(path) {}
    std::string path;
    std::string error = "this korvel was built without libFLAC";
};

bool flac_encoding_built_in() { return false; }

flac_encoder::flac_encoder(const std::string &path, const flac_metadata &, long) : s_(std::make_unique<state>(path))
{
    errno = ENOTSUP;
}

bool flac_encoder::write(const unsigned char *, std::size_t) { return false; }

bool flac_encoder::finish() { return false; }

#endif

flac_encoder::~flac_encoder() = default;

#ifdef KORVEL_HAVE_FLAC
bool flac_encoder::opened() const { return s_->ok; }

bool flac_encoder::commit() { return finish() && s_->file.commit(); }

const std::string &flac_encoder::path() const { return s_->file.path(); }
#else
bool flac_encoder::opened() const { return false; }

bool flac_encoder::commit() { return false; }

const std::string &flac_encoder::path() const { return s_->path; }
#endif

const std::string &flac_encoder::error() const { return s_->error; }
