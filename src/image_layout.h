// The audio image a cue sheet describes: its audio files joined in the order the sheet
// names them, without a gap, and the silence that PREGAP and POSTGAP put between their
// audio; where on the disc each point of a file lands, and the pieces the image is copied
// from. A file that does not end on a CD frame boundary is not padded: the audio stays
// continuous, and the next file's points count from the frame in which it starts.
#pragma once

#include <cstdint>
#include <vector>

/// Silence put into the image before the audio at `offset` bytes into file `file` (at most the file's size).
struct image_gap_t {
    int file = 0;
    std::uint64_t offset = 0;
    long frames = 0; ///< its length in CD frames
};

/// A stretch of the image: silence, or the next bytes of one file.
struct image_piece_t {
    int file = -1; ///< the file, or -1 for silence
    std::uint64_t bytes = 0;
};

/// The bytes of an image made of `pieces`: silence and audio.
long image_bytes(const std::vector<image_piece_t> &pieces);

class image_layout {
public:
    /// The image of files of `sizes` bytes with `gaps` (in any order; one outside its file
    /// is the caller's error and is clamped to the file's end).
    image_layout(std::vector<std::uint64_t> sizes, std::vector<image_gap_t> gaps);

    /// The frame of the point `frames` into file `file`: the frame in which the file starts, plus
    /// `frames`, plus the silence put in the file at or before that point.
    long position(int file, long frames) const;
    /// The offset of the file's first byte in the image (the silence before it included).
    std::uint64_t file_start(int file) const;
    /// The offset just after the file's last byte in the image (the silence within it included,
    /// the silence after it not).
    std::uint64_t file_end(int file) const;
    /// The image's bytes: every file and every gap.
    std::uint64_t size() const;
    /// The image piece by piece, in order.
    std::vector<image_piece_t> pieces() const;

private:
    std::uint64_t gap_bytes(int file, std::uint64_t up_to) const;

    std::vector<std::uint64_t> sizes_;
    std::vector<image_gap_t> gaps_; ///< sorted by file and offset
};
