// The audio of two discs compared track by track, as an engineer asks about a new
// revision: the same samples; the same samples moved (a re-render that starts a little
// earlier or later); the same samples at another level (a constant gain, dither
// allowed); or something else, from where on and how much of it. Both images are
// read once, in order, and only a rolling window of each is kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ddp_checksum.h"
#include "fileset_reader.h"

/// What one track's audio in B is, set against A's.
struct track_audio_verdict {
    enum class kind { identical, shifted, gain, differs };
    kind what = kind::identical;
    long shift = 0;             ///< sample frames; positive when B's audio comes later
    double gain_db = 0;         ///< B's level against A's
    long first_difference = -1; ///< the first sample frame, from the track's start, that differs in place
    long differing = 0;         ///< sample frames that differ in place, the longer track's extra ones too
    long frames = 0;            ///< the longer track's sample frames
};

/// Compares one track of A with the same track of B from their samples, given in step: both
/// tracks from their start, the same number of frames at a time until the shorter one ends.
class track_comparer {
public:
    track_comparer(long frames_a, long frames_b);
    /// The next `na` sample frames of A and `nb` of B, as on the disc (16-bit little-endian stereo).
    void add(const unsigned char *a, long na, const unsigned char *b, long nb);
    track_audio_verdict finish();
    /// Whether the track held any sample other than zero, in A (side 0) or B (side 1).
    bool sound(int side) const { return sound_[side] >= 0; }

private:
    struct candidate {
        long shift;
        long next; ///< A's next sample frame to compare with B's one `shift` frames on
        bool alive;
    };
    std::uint32_t at(int side, long pos) const;
    void in_place(const std::uint32_t *a, const std::uint32_t *b, long n);
    void gain_sample(int x, int y);
    void search();
    void find(int side, long from, long to, long shift_sign);
    void verify(candidate &c) const;

    long len_[2];
    long t_ = 0;                           ///< frames taken so far, on either side
    std::vector<std::uint32_t> ring_[2];   ///< the latest frames of each side
    std::vector<std::uint32_t> scratch_[2];
    long sound_[2] = {-1, -1};             ///< each side's first frame that is not digital silence
    long differing_ = 0;
    long first_difference_ = -1;
    int peak_same_ = 0;                    ///< the largest magnitude while both were the same
    bool gain_started_ = false;
    bool gain_ok_ = true;
    double gain_low_ = 0;
    double gain_high_ = 0;
    double sum_ab_ = 0;
    double sum_aa_ = 0;
    bool searched_ = false;
    std::vector<candidate> candidates_;
};

/// The audio of two discs compared: a verdict per track range (see audio_track_ranges; range 0
/// is the audio before track 1), the CRC-32 of every range's samples, and the checksums of the
/// audio files that were read whole, for the checksum validation.
struct disc_audio_comparison {
    std::vector<track_audio_verdict> tracks; ///< for the ranges both discs have
    std::vector<bool> sound[2];              ///< per range: held anything but digital silence
    std::vector<std::uint32_t> crc[2];       ///< per range of each disc
    std::vector<long> frames[2];             ///< per range of each disc
    ddp_files digests[2];
};

/// Reads both filesets' audio once, in step, and compares it: the comparison and B's checksums on
/// the second core when --threads allows, A's checksums on the reading one. Nothing, with `why`, when either disc's audio cannot be read.
std::optional<disc_audio_comparison> audio_compare_filesets(const fileset_source &src_a, const ddp_fileset &a,
                                                            const fileset_source &src_b, const ddp_fileset &b,
                                                            std::string &why);

/// For B's ranges from 1 on: the range of A whose samples are the same (its CRC-32 and length), or
/// 0 for none. Empty unless every track of B matches a different track of A and the two discs have
/// as many tracks: only then have the tracks been reordered.
std::vector<int> audio_reordering(const disc_audio_comparison &c);
