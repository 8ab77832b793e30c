// What an audio file really is, told by its first bytes, whatever its name or the
// cue sheet says: a WAVE file, FLAC, or one of the formats people rip or buy
// music in (Ogg Vorbis, Opus, MP3, AIFF, Wave64, APE, TAK, WavPack, MP4, WMA,
// DSD), each with the command that converts it.
#pragma once

#include <cstddef>
#include <cstdio>

enum class audio_kind {
    wave,    ///< RIFF or RF64, or a file too short to be anything but a cut RIFF
    flac,    ///< "fLaC", also behind an ID3v2 tag
    ogg,     ///< "OggS" holding neither Vorbis nor Opus (Ogg FLAC, for one)
    vorbis,  ///< "OggS" whose first packet is a Vorbis header
    opus,    ///< "OggS" whose first packet is "OpusHead"
    mp3_id3, ///< an ID3v2 tag, as MP3 files start
    mp3,     ///< an MPEG audio frame header
    aiff,    ///< "FORM" of type "AIFF"
    aiff_c,  ///< "FORM" of type "AIFC"
    wave64,  ///< Sony Wave64: "riff" and its GUID
    ape,     ///< Monkey's Audio: "MAC "
    tak,     ///< TAK: "tBaK"
    wavpack, ///< WavPack: "wvpk"
    mp4,     ///< MP4, M4A, M4B: a "ftyp" box first
    wma,     ///< Windows Media Audio: the ASF header object's GUID
    dsf,     ///< DSD in a DSF file: "DSD "
    dff,     ///< DSD in a DSDIFF file: "FRM8" of type "DSD "
    unknown,
};

/// The kind, and the first bytes as read (for the message about an unknown file).
struct audio_identity {
    audio_kind kind = audio_kind::unknown;
    unsigned char head[4] = {};
    std::size_t head_size = 0;
};

/// Reads the start of the file (and looks behind an ID3v2 tag) and says what it holds;
/// the stream is left at its start. A file that cannot be read or positioned is `unknown`.
audio_identity identify_audio(std::FILE *fp);

/// "FLAC audio", "Ogg audio", "MP3 audio (an ID3 tag)", ..., "unknown" for the message.
const char *audio_kind_name(audio_kind kind);

/// The command that converts such a file into CD audio in a WAVE file, for the hint line.
const char *audio_kind_conversion(audio_kind kind);
