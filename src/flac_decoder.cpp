#include "flac_decoder.h"

#include <utility>

#ifdef KORVEL_HAVE_FLAC

#include <FLAC/format.h>
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

/// One decoder and the bookkeeping of its callbacks, which libFLAC calls with this as client data.
struct flac_decoder::state {
    file_ptr fp;
    FLAC__StreamDecoder *decoder = nullptr;
    flac_stream_info info;
    bool has_info = false;
    // Where the frame that is being decoded goes: whole sample frames into the caller's
    // buffer while they fit, the rest of the frame into `pending` for the next read.
    unsigned char *dst = nullptr;
    std::size_t dst_left = 0;
    std::vector<unsigned char> pending;
    std::size_t pending_pos = 0;
    std::uint64_t samples = 0; ///< sample frames decoded so far
    std::string failure; ///< the first fault, or empty
    bool lost_sync = false; ///< the fault is bytes that are no frame

    ~state()
    {
        if (decoder != nullptr)
            FLAC__stream_decoder_delete(decoder);
    }

    void fail(std::string why)
    {
        if (failure.empty())
            failure = std::move(why);
    }
};

namespace {

using state_t = flac_decoder::state;

/// A sample of 16 bits as two bytes, low byte first: the byte order of IMAGE.DAT and of FLAC's MD5.
void interleave(unsigned char *out, const FLAC__int32 *left, const FLAC__int32 *right, std::size_t n,
                std::uint32_t &range)
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto l = static_cast<std::uint32_t>(left[i]), r = static_cast<std::uint32_t>(right[i]);
        // A 16-bit sample plus 32768 lies in 0..65535: any higher bit marks one that does not fit.
        range |= (l + 32768u) | (r + 32768u);
        out[4 * i] = static_cast<unsigned char>(l);
        out[4 * i + 1] = static_cast<unsigned char>(l >> 8);
        out[4 * i + 2] = static_cast<unsigned char>(r);
        out[4 * i + 3] = static_cast<unsigned char>(r >> 8);
    }
}

std::string at_sample(std::uint64_t sample, const char *what)
{
    char text[160];
    std::snprintf(text, sizeof text, "FLAC stream is damaged at sample %llu: %s",
                  static_cast<unsigned long long>(sample), what);
    return text;
}

FLAC__StreamDecoderReadStatus read_cb(const FLAC__StreamDecoder *, FLAC__byte buffer[], std::size_t *bytes,
                                      void *client)
{
    auto *s = static_cast<state_t *>(client);
    if (*bytes == 0)
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    *bytes = std::fread(buffer, 1, *bytes, s->fp.get());
    if (*bytes > 0)
        return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    if (std::ferror(s->fp.get())) {
        s->fail(std::string("cannot read the FLAC file: ") + std::strerror(errno != 0 ? errno : EIO));
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__bool eof_cb(const FLAC__StreamDecoder *, void *client)
{
    return std::feof(static_cast<state_t *>(client)->fp.get()) != 0;
}

void metadata_cb(const FLAC__StreamDecoder *, const FLAC__StreamMetadata *m, void *client)
{
    auto *s = static_cast<state_t *>(client);
    if (m->type != FLAC__METADATA_TYPE_STREAMINFO || s->has_info)
        return;
    const FLAC__StreamMetadata_StreamInfo &si = m->data.stream_info;
    s->info.sample_rate = si.sample_rate;
    s->info.channels = si.channels;
    s->info.bits_per_sample = si.bits_per_sample;
    s->info.total_samples = si.total_samples;
    std::memcpy(s->info.md5, si.md5sum, sizeof s->info.md5);
    // An encoder that did not compute the signature leaves it all zero.
    s->info.has_md5 = std::any_of(std::begin(si.md5sum), std::end(si.md5sum), [](FLAC__byte b) { return b != 0; });
    s->has_info = true;
}

void error_cb(const FLAC__StreamDecoder *, FLAC__StreamDecoderErrorStatus status, void *client)
{
    auto *s = static_cast<state_t *>(client);
    const char *what = "the decoder reports an unknown fault";
    switch (status) {
    case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC: what = "bytes that are not FLAC frames (lost sync)"; break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER: what = "a frame header is corrupt"; break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH: what = "a frame's CRC does not match its audio"; break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_UNPARSEABLE_STREAM: what = "a frame this decoder cannot parse"; break;
    default: break;
    }
    if (s->failure.empty())
        s->lost_sync = status == FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC;
    s->fail(at_sample(s->samples, what));
}

FLAC__StreamDecoderWriteStatus write_cb(const FLAC__StreamDecoder *, const FLAC__Frame *frame,
                                        const FLAC__int32 *const buffer[], void *client)
{
    auto *s = static_cast<state_t *>(client);
    const FLAC__FrameHeader &h = frame->header;
    // Frames state their own format: a stream may change it midway, and only CD audio is copied.
    if (h.channels != 2 || h.bits_per_sample != 16 || h.sample_rate != s->info.sample_rate) {
        s->fail(at_sample(s->samples, "a frame is not 16-bit stereo at the stream's sample rate"));
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    const std::size_t n = h.blocksize;
    const std::size_t direct = std::min(n, s->dst_left / 4);
    std::uint32_t range = 0;
    if (direct > 0) {
        interleave(s->dst, buffer[0], buffer[1], direct, range);
        s->dst += direct * 4;
        s->dst_left -= direct * 4;
    }
    if (direct < n) {
        // At most one frame of 65,535 samples waits here: 256 KiB whatever the stream's length.
        s->pending.resize((n - direct) * 4);
        s->pending_pos = 0;
        interleave(s->pending.data(), buffer[0] + direct, buffer[1] + direct, n - direct, range);
    }
    if (range > 0xFFFFu) {
        s->fail(at_sample(s->samples, "a frame holds samples wider than 16 bits"));
        return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
    }
    s->samples += n;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

std::string ends_early(const state_t &s)
{
    char text[160];
    std::snprintf(text, sizeof text, "FLAC stream ends early, after %llu of its %llu samples",
                  static_cast<unsigned long long>(s.samples), static_cast<unsigned long long>(s.info.total_samples));
    return text;
}

/// A file cut short ends in a partial frame, which the decoder reports as lost sync. When
/// nothing but the end of the stream follows, the fault is said as what it is.
void tell_cut_from_damage(state_t &s)
{
    if (!s.lost_sync)
        return;
    const std::uint64_t at = s.samples;
    const std::string damage = std::move(s.failure);
    s.failure.clear();
    while (s.failure.empty() && s.samples == at &&
           FLAC__stream_decoder_get_state(s.decoder) != FLAC__STREAM_DECODER_END_OF_STREAM &&
           FLAC__stream_decoder_process_single(s.decoder))
        ;
    const bool cut = s.samples == at && FLAC__stream_decoder_get_state(s.decoder) == FLAC__STREAM_DECODER_END_OF_STREAM;
    s.failure = cut ? ends_early(s) : damage;
}

/// Why the decoder stopped, when no callback said so.
std::string stopped(const FLAC__StreamDecoder *d)
{
    const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(d);
    if (state == FLAC__STREAM_DECODER_END_OF_STREAM)
        return "the file ends inside the FLAC stream";
    if (state == FLAC__STREAM_DECODER_MEMORY_ALLOCATION_ERROR)
        return "the FLAC decoder ran out of memory";
    return std::string("the FLAC decoder stopped (") + FLAC__StreamDecoderStateString[state] + ")";
}

} // namespace

bool flac_built_in() { return true; }

const char *flac_library_version() { return FLAC__VERSION_STRING; }

std::unique_ptr<flac_decoder> flac_decoder::open(file_ptr fp, std::string &why)
{
    auto s = std::make_unique<state>();
    s->fp = std::move(fp);
    s->decoder = FLAC__stream_decoder_new();
    if (s->decoder == nullptr) {
        why = "no memory for a FLAC decoder";
        return nullptr;
    }
    // The caller checks the MD5 signature over the bytes as it writes them, beside the image's own digests.
    FLAC__stream_decoder_set_md5_checking(s->decoder, false);
    const FLAC__StreamDecoderInitStatus init = FLAC__stream_decoder_init_stream(
        s->decoder, read_cb, nullptr, nullptr, nullptr, eof_cb, write_cb, metadata_cb, error_cb, s.get());
    if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        why = std::string("the FLAC decoder cannot start: ") + FLAC__StreamDecoderInitStatusString[init];
        return nullptr;
    }
    const bool read = FLAC__stream_decoder_process_until_end_of_metadata(s->decoder) != 0;
    if (!s->failure.empty())
        why = s->failure;
    else if (!read)
        why = stopped(s->decoder);
    else if (!s->has_info)
        why = "the FLAC stream has no STREAMINFO block";
    if (!why.empty())
        return nullptr;
    return std::make_unique<flac_decoder>(std::move(s));
}

bool flac_decoder::read(unsigned char *dst, std::size_t n)
{
    state &s = *s_;
    while (n > 0 && s.failure.empty()) {
        if (s.pending_pos < s.pending.size()) {
            const std::size_t m = std::min(n, s.pending.size() - s.pending_pos);
            std::memcpy(dst, s.pending.data() + s.pending_pos, m);
            s.pending_pos += m;
            dst += m;
            n -= m;
            continue;
        }
        if (FLAC__stream_decoder_get_state(s.decoder) == FLAC__STREAM_DECODER_END_OF_STREAM) {
            s.fail(ends_early(s));
            break;
        }
        s.dst = dst;
        s.dst_left = n;
        const bool ok = FLAC__stream_decoder_process_single(s.decoder) != 0;
        const std::size_t written = n - s.dst_left;
        s.dst = nullptr;
        s.dst_left = 0;
        dst += written;
        n -= written;
        if (!ok)
            s.fail(stopped(s.decoder));
        else if (!s.failure.empty())
            tell_cut_from_damage(s);
    }
    return s.failure.empty();
}

bool flac_decoder::finish()
{
    state &s = *s_;
    if (!s.failure.empty())
        return false;
    // Whatever follows the stated length must not be audio: decode it to be sure.
    // Bytes that are no frame at all (a tag some programs append) do not count.
    while (s.pending_pos == s.pending.size() && s.samples <= s.info.total_samples &&
           FLAC__stream_decoder_get_state(s.decoder) != FLAC__STREAM_DECODER_END_OF_STREAM) {
        const std::uint64_t before = s.samples;
        if (!FLAC__stream_decoder_process_single(s.decoder)) {
            s.fail(stopped(s.decoder));
            return false;
        }
        if (s.samples == before && s.lost_sync) {
            s.failure.clear();
            s.lost_sync = false;
        }
        if (!s.failure.empty())
            return false;
    }
    if (s.pending_pos < s.pending.size() || s.samples != s.info.total_samples) {
        s.fail("FLAC stream holds more audio than its STREAMINFO block states");
        return false;
    }
    return true;
}

#else // without libFLAC: nothing is decoded

struct flac_decoder::state {
    flac_stream_info info;
    std::string failure = "this korvel was built without FLAC decoding";
};

bool flac_built_in() { return false; }

const char *flac_library_version() { return ""; }

std::unique_ptr<flac_decoder> flac_decoder::open(file_ptr, std::string &why)
{
    why = state().failure;
    return nullptr;
}

bool flac_decoder::read(unsigned char *, std::size_t) { return false; }

bool flac_decoder::finish() { return false; }

#endif

flac_decoder::flac_decoder(std::unique_ptr<state> s) : s_(std::move(s)) {}

flac_decoder::~flac_decoder() = default;

const flac_stream_info &flac_decoder::info() const { return s_->info; }

const std::string &flac_decoder::failure() const { return s_->failure; }
