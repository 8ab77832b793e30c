#include "audio_identify.h"

#include <cstring>
#include <utility>

namespace {

bool has(const unsigned char *b, std::size_t n, std::size_t at, const char *magic)
{
    const std::size_t len = std::strlen(magic);
    return n >= at + len && std::memcmp(b + at, magic, len) == 0;
}

/// Sony Wave64 starts with the GUID 66666972-912E-11CF-A5D6-28DB04C10000 as stored.
constexpr unsigned char wave64_guid[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                           0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

/// The ASF header object's GUID 75B22630-668E-11CF-A6D9-00AA0062CE6C as stored, with which
/// WMA files start.
constexpr unsigned char asf_guid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

/// An Ogg stream's first page carries one packet that names the codec: it starts after the
/// 27-byte page header and its table of segment sizes.
audio_kind ogg_kind(const unsigned char *b, std::size_t n)
{
    if (n < 27)
        return audio_kind::ogg;
    const std::size_t packet = 27 + b[26];
    if (has(b, n, packet, "OpusHead"))
        return audio_kind::opus;
    if (has(b, n, packet, "\x01vorbis"))
        return audio_kind::vorbis;
    return audio_kind::ogg;
}

/// An MPEG audio frame header: 11 sync bits, a layer (00 is reserved), a bitrate
/// index other than 1111 and a sample rate index other than 11. ADTS (AAC) has layer 00.
bool is_mpeg_audio_frame(const unsigned char *b, std::size_t n)
{
    return n >= 4 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0 && ((b[1] >> 1) & 3) != 0 && (b[2] >> 4) != 15 &&
           ((b[2] >> 2) & 3) != 3;
}

audio_kind kind_of(const unsigned char *b, std::size_t n)
{
    if (has(b, n, 0, "RIFF") || has(b, n, 0, "RF64") || has(b, n, 0, "BW64"))
        return audio_kind::wave;
    // Fewer bytes than a RIFF identifier, all of them its start: a cut WAVE file,
    // whose walk tells what is missing.
    if (n < 4 && std::memcmp(b, "RIFF", n) == 0)
        return audio_kind::wave;
    if (has(b, n, 0, "fLaC"))
        return audio_kind::flac;
    if (has(b, n, 0, "OggS"))
        return ogg_kind(b, n);
    if (has(b, n, 0, "FORM") && has(b, n, 8, "AIFF"))
        return audio_kind::aiff;
    if (has(b, n, 0, "FORM") && has(b, n, 8, "AIFC"))
        return audio_kind::aiff_c;
    if (n >= sizeof wave64_guid && std::memcmp(b, wave64_guid, sizeof wave64_guid) == 0)
        return audio_kind::wave64;
    if (n >= sizeof asf_guid && std::memcmp(b, asf_guid, sizeof asf_guid) == 0)
        return audio_kind::wma;
    static constexpr std::pair<const char *, audio_kind> magics[] = {
        {"MAC ", audio_kind::ape}, {"tBaK", audio_kind::tak}, {"wvpk", audio_kind::wavpack}, {"DSD ", audio_kind::dsf},
    };
    for (const auto &[magic, kind] : magics)
        if (has(b, n, 0, magic))
            return kind;
    if (has(b, n, 4, "ftyp"))
        return audio_kind::mp4;
    if (has(b, n, 0, "FRM8") && has(b, n, 12, "DSD "))
        return audio_kind::dff;
    if (is_mpeg_audio_frame(b, n))
        return audio_kind::mp3;
    return audio_kind::unknown;
}

/// The size of an ID3v2 tag from its 10-byte header: four 7-bit bytes, plus the
/// header and, when the flags say so, a footer of 10 bytes each. 0 for no tag.
long id3v2_size(const unsigned char *b, std::size_t n)
{
    if (!has(b, n, 0, "ID3") || n < 10 || ((b[6] | b[7] | b[8] | b[9]) & 0x80) != 0)
        return 0;
    const long body = (long{b[6]} << 21) | (long{b[7]} << 14) | (long{b[8]} << 7) | long{b[9]};
    return 10 + body + ((b[5] & 0x10) != 0 ? 10 : 0);
}

} // namespace

audio_identity identify_audio(std::FILE *fp)
{
    audio_identity id;
    if (std::fseek(fp, 0, SEEK_SET) != 0)
        return id;
    unsigned char b[64]; // an Ogg page header with its segment table, and the first packet's name
    const std::size_t n = std::fread(b, 1, sizeof b, fp);
    id.head_size = n < sizeof id.head ? n : sizeof id.head;
    std::memcpy(id.head, b, id.head_size);
    id.kind = kind_of(b, n);
    // MP3 files start with an ID3 tag; some FLAC files carry one before "fLaC" too.
    if (const long tag = id3v2_size(b, n); tag != 0) {
        id.kind = audio_kind::mp3_id3;
        unsigned char after[4];
        if (std::fseek(fp, tag, SEEK_SET) == 0 && std::fread(after, 1, sizeof after, fp) == sizeof after &&
            std::memcmp(after, "fLaC", 4) == 0)
            id.kind = audio_kind::flac;
    }
    std::clearerr(fp);
    if (std::fseek(fp, 0, SEEK_SET) != 0)
        id.kind = audio_kind::unknown;
    return id;
}

const char *audio_kind_name(audio_kind kind)
{
    switch (kind) {
    case audio_kind::wave: return "WAVE audio";
    case audio_kind::flac: return "FLAC audio";
    case audio_kind::ogg: return "Ogg audio";
    case audio_kind::vorbis: return "Ogg Vorbis audio";
    case audio_kind::opus: return "Opus audio";
    case audio_kind::ape: return "APE audio (Monkey's Audio)";
    case audio_kind::tak: return "TAK audio";
    case audio_kind::wavpack: return "WavPack audio";
    case audio_kind::mp4: return "MP4 audio (M4A, M4B)";
    case audio_kind::wma: return "WMA audio (ASF)";
    case audio_kind::dsf: return "DSD audio (DSF)";
    case audio_kind::dff: return "DSD audio (DSDIFF)";
    case audio_kind::mp3_id3: return "MP3 audio (it starts with an ID3 tag)";
    case audio_kind::mp3: return "MP3 audio (it starts with an MPEG audio frame)";
    case audio_kind::aiff: return "AIFF audio";
    case audio_kind::aiff_c: return "AIFF-C audio";
    case audio_kind::wave64: return "Wave64 audio";
    case audio_kind::unknown: break;
    }
    return "unknown";
}

const char *audio_kind_conversion(audio_kind kind)
{
    // sox writes 16-bit stereo at 44.1 kHz with these options, and dithers when it reduces the width.
    switch (kind) {
    case audio_kind::flac: return "flac -d in.flac -o out.wav";
    case audio_kind::ogg:
    case audio_kind::vorbis: return "sox in.ogg -b 16 -c 2 -r 44100 out.wav";
    // ffmpeg decodes the others; its pcm_s16le is 16-bit, and -ar resamples (DSD included).
    case audio_kind::opus: return "ffmpeg -i in.opus -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::ape: return "ffmpeg -i in.ape -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::tak: return "ffmpeg -i in.tak -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::wavpack: return "ffmpeg -i in.wv -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::mp4: return "ffmpeg -i in.m4a -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::wma: return "ffmpeg -i in.wma -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::dsf: return "ffmpeg -i in.dsf -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::dff: return "ffmpeg -i in.dff -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
    case audio_kind::mp3_id3:
    case audio_kind::mp3: return "sox in.mp3 -b 16 -c 2 -r 44100 out.wav";
    case audio_kind::aiff: return "sox in.aif -b 16 -c 2 -r 44100 out.wav";
    case audio_kind::aiff_c: return "sox in.aifc -b 16 -c 2 -r 44100 out.wav";
    case audio_kind::wave64: return "sox in.w64 -b 16 -c 2 -r 44100 out.wav";
    case audio_kind::wave:
    case audio_kind::unknown: break;
    }
    return "ffmpeg -i in -c:a pcm_s16le -ac 2 -ar 44100 out.wav";
}
