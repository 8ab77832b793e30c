// One audio data file of a cue sheet, as the image takes it. Opening tells what
// the file really is and checks that it holds CD audio (16-bit stereo PCM at
// 44,100 Hz), with a hint on what to do when it does not; reading yields the
// audio as 16-bit little-endian samples, whether the file is raw (either byte
// order), a WAVE file's data chunk, or FLAC decoded on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "flac_decoder.h"
#include "tolk_utils.h"

/// What a cue sheet's FILE command says the file is.
enum class audio_declared {
    binary,   ///< raw samples, little-endian
    motorola, ///< raw samples, big-endian
    wave,     ///< a WAVE file, or FLAC in its place
};

class audio_input {
public:
    enum class status {
        ok,
        ended,   ///< the file ended before the audio it promised
        failed,  ///< a read error; errno tells which
        damaged, ///< FLAC audio that fails its checks; damage() says how
    };

    audio_input();
    ~audio_input();
    audio_input(audio_input &&) noexcept;
    audio_input &operator=(audio_input &&) noexcept;

    /// Evaluates `fp` (a regular file, taken over) named `path`, as the cue sheet declares it,
    /// and leaves it at its first audio byte. A file that is not CD audio is refused: "path:
    /// error: ...", often a "path: hint: ..." line, then fatal_error. What was forgiven in a
    /// file that is taken follows "name: warning: ".
    static audio_input open(file_ptr fp, const char *path, audio_declared declared);

    explicit operator bool() const { return fp_ != nullptr || flac_ != nullptr; }
    /// Bytes of audio that the file holds, as 16-bit stereo samples.
    std::uint64_t size() const { return size_; }
    bool is_flac() const { return flac_ != nullptr; }
    /// The raw or WAVE file, at its next audio byte; null for FLAC, which only decodes forward.
    std::FILE *stream() const { return fp_.get(); }

    /// Reads the next `n` bytes of audio into `dst`, as little-endian samples.
    status read(unsigned char *dst, std::size_t n);
    /// After the last byte: ok, or damaged when FLAC audio follows.
    status finish();
    /// The MD5 signature that all of the audio must match (FLAC's), or null when there is none.
    const unsigned char *md5_signature() const;
    /// "path: the decoded audio does not match ...", for audio that fails its MD5 signature.
    std::string signature_damage() const;
    /// "path: what is wrong", after read() or finish() said damaged.
    std::string damage() const;

private:
    /// The three kinds of file open() takes: raw samples, FLAC audio, a WAVE file.
    void open_raw(file_ptr fp, bool motorola);
    void open_flac(file_ptr fp);
    void open_wave(file_ptr fp);

    file_ptr fp_;
    std::unique_ptr<flac_decoder> flac_;
    std::string path_;
    std::uint64_t size_ = 0;
    bool swap_ = false;
};

/// Exchanges the two bytes of every 16-bit unit (big- to little-endian samples);
/// 1 and nothing changed for an odd count.
int buffer_swap16(unsigned char *buf, std::uint64_t n);
