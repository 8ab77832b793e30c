#include "audio_input.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <utility>

#include "audio_identify.h"
#include "log.h"
#include "waveparser.h"

namespace {

/// "path: error: message", a "path: hint: ..." line when there is a hint, then the end of the run.
/// The same located form as the cue sheet's own diagnostics.
[[noreturn]] void refuse(const char *path, const std::string &hint, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void refuse(const char *path, const std::string &hint, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("error", path, 0, format, ap);
    va_end(ap);
    if (!hint.empty())
        log_located("hint", path, 0, "%s", hint.c_str());
    throw fatal_error(1);
}

/// "name: warning: message", naming the last path component as cue sheet warnings do.
void warn(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));
void warn(const char *path, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("warning", tolk_basename(path), 0, format, ap);
    va_end(ap);
}

std::string hint(const char *text, const char *command, const char *input)
{
    char line[256];
    std::snprintf(line, sizeof line, "%s, for example `sox %s %s`", text, input, command);
    return line;
}

/// CD audio is two channels of 16-bit samples at 44,100 samples a second. `what` names the
/// file in the message ("wave file"), `input` in the hint's example command ("in.wav").
void check_cd_format(const char *path, const char *what, const char *input, unsigned channels, unsigned rate,
                     unsigned bits)
{
    if (channels != 2)
        refuse(path, hint("a CD needs two channels: make the master stereo first", "-c 2 out.wav", input),
               "wrong number of channels in %s (%u).", what, channels);
    if (rate != 44100)
        refuse(path, hint("a CD needs 44,100 samples a second: resample the master first", "-r 44100 out.wav", input),
               "wrong sample rate in %s (%u).", what, rate);
    if (bits != 16)
        refuse(path, hint("a CD needs 16-bit samples: dither the master to 16 bits first", "-b 16 out.wav dither", input),
               "wrong sample width in %s (%u).", what, bits);
}

/// What to do with WAVE audio that is not linear PCM: nothing to say when the format is unknown.
std::string not_pcm_hint(std::uint16_t tag)
{
    if (tag == WAVE_FORMAT_IEEE_FLOAT)
        return hint("a CD needs 16-bit integer samples: dither the floating-point master to 16 bits first",
                    "-e signed-integer -b 16 out.wav dither", "in.wav");
    if (tag == WAVE_FORMAT_EXTENSIBLE)
        return "";
    return "a CD needs linear PCM: decode the audio first, for example `ffmpeg -i in.wav -c:a pcm_s16le out.wav`";
}

/// A file named as WAVE that holds something else: say what, and how to convert it.
[[noreturn]] void refuse_kind(const char *path, const audio_identity &id)
{
    const std::string convert = std::string("convert it to a WAVE file first, for example `") +
                                audio_kind_conversion(id.kind) + "`";
    if (id.kind != audio_kind::unknown)
        refuse(path, convert, "not a Microsoft WAVE file, but %s", audio_kind_name(id.kind));
    std::string head;
    for (std::size_t i = 0; i < id.head_size; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", id.head[i]);
        head += hex;
    }
    refuse(path, convert, "not a Microsoft WAVE file, nor any other audio file that korvel knows (it starts with %s)",
           head.c_str());
}

} // namespace

audio_input::audio_input() = default;
audio_input::~audio_input() = default;
audio_input::audio_input(audio_input &&) noexcept = default;
audio_input &audio_input::operator=(audio_input &&) noexcept = default;

void audio_input::open_raw(file_ptr fp, bool motorola)
{
    // Raw samples: the whole file is audio.
    const char *path = path_.c_str();
    swap_ = motorola;
    std::FILE *f = fp.get();
    if (std::fseek(f, 0, SEEK_END) != 0)
        refuse(path, "", "can't seek to end of audio file, message: %s", std::strerror(errno));
    const long end = std::ftell(f);
    if (end < 0)
        refuse(path, "", "can't determine end of audio file, message: %s", std::strerror(errno));
    if (std::fseek(f, 0, SEEK_SET) != 0)
        refuse(path, "", "can't seek to start of audio file, message: %s", std::strerror(errno));
    size_ = static_cast<std::uint64_t>(end);
    fp_ = std::move(fp);
}

void audio_input::open_flac(file_ptr fp)
{
    // Most whole-disc cue sheets name a FLAC file on a WAVE line.
    const char *path = path_.c_str();
    const std::string decode = "decode it to a WAVE file first: `flac -d in.flac -o out.wav`";
    if (!flac_built_in())
        refuse(path, decode, "not a Microsoft WAVE file, but FLAC audio, and this korvel was built without "
                             "FLAC decoding");
    std::string why;
    flac_ = flac_decoder::open(std::move(fp), why);
    if (!flac_)
        refuse(path, "`flac -t in.flac` tells what is wrong with it", "FLAC file cannot be decoded: %s", why.c_str());
    const flac_stream_info &info = flac_->info();
    check_cd_format(path, "FLAC file", "in.flac", info.channels, info.sample_rate, info.bits_per_sample);
    // The length is the stream's word for it: the audio is decoded only into the image.
    if (info.total_samples == 0)
        refuse(path, decode, "FLAC file does not state its length (its STREAMINFO holds no sample count)");
    if (!info.has_md5)
        warn(path, "FLAC file has no MD5 signature: its decoded audio cannot be checked");
    // 16-bit stereo: four bytes a sample frame.
    size_ = info.total_samples * 4;
}

void audio_input::open_wave(file_ptr fp)
{
    const char *path = path_.c_str();
    wave_t w;
    wave_open_stream(std::move(fp), &w);
    // Wave Format Extensible names its real format in a subformat GUID.
    const std::uint16_t tag = w.format_tag == WAVE_FORMAT_EXTENSIBLE && w.subformat != 0 ? w.subformat : w.format_tag;
    if (tag != WAVE_FORMAT_PCM)
        refuse(path, not_pcm_hint(tag), "wave file is not (fixed point) PCM data, found: %02X", w.format_tag);
    check_cd_format(path, "wave file", "in.wav", w.channels, w.sample_rate, w.bits_per_sample);

    // A truncated file whose data chunk claims more than it holds would yield a short
    // image; say so now rather than when the image is written.
    struct stat st;
    const long held = (fstat(fileno(w.fp.get()), &st) == 0) ? static_cast<long>(st.st_size) - w.audio_start : -1;
    if (held >= 0 && held < static_cast<long>(w.audio_length))
        refuse(path, "", "wave file is truncated: its data chunk holds %lu bytes, but only %ld are in the file",
               static_cast<unsigned long>(w.audio_length), held);
    for (const std::string &forgiven : w.warnings)
        warn(path, "%s", forgiven.c_str());

    size_ = w.audio_length;
    fp_ = std::move(w.fp);
}

audio_input audio_input::open(file_ptr fp, const char *path, audio_declared declared)
{
    audio_input in;
    in.path_ = path;
    if (declared != audio_declared::wave) {
        in.open_raw(std::move(fp), declared == audio_declared::motorola);
        return in;
    }
    const audio_identity id = identify_audio(fp.get());
    if (id.kind == audio_kind::flac)
        in.open_flac(std::move(fp));
    else if (id.kind == audio_kind::wave)
        in.open_wave(std::move(fp));
    else
        refuse_kind(path, id);
    return in;
}

audio_input::status audio_input::read(unsigned char *dst, std::size_t n)
{
    if (flac_)
        return flac_->read(dst, n) ? status::ok : status::damaged;
    if (std::fread(dst, 1, n, fp_.get()) != n)
        return std::ferror(fp_.get()) ? status::failed : status::ended;
    // Whole sample frames are read: an odd count would be a caller's fault.
    if (swap_ && buffer_swap16(dst, n) != 0) {
        errno = EINVAL;
        return status::failed;
    }
    return status::ok;
}

audio_input::status audio_input::finish()
{
    if (flac_ && !flac_->finish())
        return status::damaged;
    return status::ok;
}

const unsigned char *audio_input::md5_signature() const
{
    return flac_ && flac_->info().has_md5 ? flac_->info().md5 : nullptr;
}

std::string audio_input::signature_damage() const { return path_ + ": " + flac_signature_mismatch; }

std::string audio_input::damage() const { return path_ + ": " + (flac_ ? flac_->failure() : std::string()); }

int buffer_swap16(unsigned char *buf, std::uint64_t n)
{
    if (n % 2 != 0)
        return 1;
    // Eight bytes at a time: within a 64-bit word the bytes of each pair
    // change places whichever byte order the host has.
    constexpr std::uint64_t low_bytes = 0x00FF00FF00FF00FFu;
    std::uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, buf + i, sizeof word);
        word = ((word & low_bytes) << 8) | ((word >> 8) & low_bytes);
        std::memcpy(buf + i, &word, sizeof word);
    }
    for (; i < n; i += 2)
        std::swap(buf[i], buf[i + 1]);
    return 0;
}
