// FLAC audio through libFLAC: the stream's header (format and length) without
// decoding anything, then its audio decoded in order as 16-bit little-endian
// stereo PCM, checked frame by frame; the caller checks the whole against the
// stream's MD5 signature (info().md5) as it takes the audio.
// The decoder streams, so memory stays the same for any length. libFLAC is
// optional: a build without it has flac_built_in() false and opens nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tolk_utils.h"

/// What a FLAC stream's STREAMINFO block states.
struct flac_stream_info {
    unsigned sample_rate = 0;
    unsigned channels = 0;
    unsigned bits_per_sample = 0;
    std::uint64_t total_samples = 0; ///< sample frames (one sample of every channel); 0 when not stated
    unsigned char md5[16] = {};      ///< of the audio as little-endian samples
    bool has_md5 = false;            ///< false when the encoder left the signature empty (all zero)
};

/// What follows a FLAC file's name when its audio does not match its MD5 signature.
inline constexpr const char flac_signature_mismatch[] =
    "the decoded audio does not match the FLAC stream's MD5 signature: the file is damaged";

/// True when this korvel decodes FLAC, that is when libFLAC was found as it was built.
bool flac_built_in();
/// libFLAC's version, or "" without it.
const char *flac_library_version();

class flac_decoder {
public:
    ~flac_decoder();
    flac_decoder(const flac_decoder &) = delete;
    flac_decoder &operator=(const flac_decoder &) = delete;

    /// Reads the metadata of the FLAC stream in `fp`, which is at its start; the decoder takes
    /// the file over. Null, with the reason in `why`, when libFLAC cannot read it as FLAC or
    /// this build has no FLAC decoding.
    static std::unique_ptr<flac_decoder> open(file_ptr fp, std::string &why);

    const flac_stream_info &info() const;

    /// Decodes the next `n` bytes of audio into `dst`: 16-bit little-endian samples, left and
    /// right interleaved. Only for 16-bit stereo streams. false when a frame is damaged (bad
    /// CRC, lost sync, another format), the stream ends early or cannot be read: failure() says what.
    bool read(unsigned char *dst, std::size_t n);

    /// After the stated length has been read: true when no further audio follows; else false, as read().
    bool finish();

    /// What went wrong, as a phrase that follows the file's name.
    const std::string &failure() const;

    /// libFLAC's decoder and what its callbacks share; defined with them, so that only open()
    /// can make one.
    struct state;
    explicit flac_decoder(std::unique_ptr<state> s);

private:
    std::unique_ptr<state> s_;
};
