// FLAC encoding through libFLAC, for the release set that --extract --format=flac
// writes: CD audio (16-bit stereo at 44,100 Hz, little-endian samples as a disc
// holds them) encoded at compression level 5 with the MD5 signature set, Vorbis
// comments naming the music, and for a whole-disc file the CD's table of contents
// as a CUESHEET block, so that players see the disc's tracks in one file.
// The file is written through the safe writing of every output: under a temporary
// name, put in place only when whole. libFLAC is optional: without it nothing is
// encoded and flac_encoding_built_in() is false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

/// One index point of a CUESHEET track, in CD frames from the track's start.
struct flac_cue_index {
    int number = 1;
    long frames = 0;
};

/// One track of a CUESHEET block: where it starts on the disc (CD frames from the file's start).
struct flac_cue_track {
    int number = 1;
    long start = 0;
    std::string isrc; ///< 12 characters, or empty
    bool pre_emphasis = false;
    std::vector<flac_cue_index> indexes;
};

/// What a CUESHEET block says of a whole disc; the lead-out (track 170) is at the file's end.
struct flac_cue_sheet {
    std::string catalog; ///< the UPC/EAN, or empty
    std::vector<flac_cue_track> tracks;
};

/// What goes into a FLAC file beside its audio.
struct flac_metadata {
    std::vector<std::pair<std::string, std::string>> tags; ///< Vorbis comments, UTF-8; empty values are left out
    std::unique_ptr<flac_cue_sheet> cue_sheet;             ///< for a whole disc only
};

/// True when this korvel encodes FLAC (libFLAC was found when it was built).
bool flac_encoding_built_in();

/// A FLAC file of CD audio being written under its temporary name.
class flac_encoder {
public:
    /// Opens the temporary sibling of `path` for `sectors` CD frames of audio; opened() tells
    /// whether that worked (errno and error() say why not).
    flac_encoder(const std::string &path, const flac_metadata &metadata, long sectors);
    ~flac_encoder();
    flac_encoder(const flac_encoder &) = delete;
    flac_encoder &operator=(const flac_encoder &) = delete;

    bool opened() const;
    /// Encodes `n` bytes of little-endian 16-bit stereo samples (whole sample frames).
    bool write(const unsigned char *data, std::size_t n);
    /// Ends the stream (the STREAMINFO block gets its MD5 signature), syncs and closes the file, not yet in place.
    bool finish();
    /// Puts the finished file in place.
    bool commit();
    /// The final path, for messages.
    const std::string &path() const;
    /// What went wrong, when libFLAC said more than errno does; else empty.
    const std::string &error() const;

    struct state;

private:
    std::unique_ptr<state> s_;
};
