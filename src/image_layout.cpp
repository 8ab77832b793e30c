#include "image_layout.h"

#include <algorithm>

#include "pqlist.h"

namespace {

constexpr std::uint64_t frame_bytes = static_cast<std::uint64_t>(CD_FRAME_BYTES);

} // namespace

image_layout::image_layout(std::vector<std::uint64_t> sizes, std::vector<image_gap_t> gaps)
    : sizes_(std::move(sizes)), gaps_(std::move(gaps))
{
    for (auto &gap : gaps_)
        gap.offset = std::min(gap.offset, sizes_.at(static_cast<std::size_t>(gap.file)));
    std::stable_sort(gaps_.begin(), gaps_.end(), [](const image_gap_t &a, const image_gap_t &b) {
        return a.file != b.file ? a.file < b.file : a.offset < b.offset;
    });
}

std::uint64_t image_layout::gap_bytes(int file, std::uint64_t up_to) const
{
    std::uint64_t bytes = 0;
    for (const auto &gap : gaps_)
        if (gap.file == file && gap.offset <= up_to)
            bytes += static_cast<std::uint64_t>(gap.frames) * frame_bytes;
    return bytes;
}

std::uint64_t image_layout::file_start(int file) const
{
    std::uint64_t start = 0;
    for (int k = 0; k < file; ++k)
        start += sizes_[static_cast<std::size_t>(k)] + gap_bytes(k, sizes_[static_cast<std::size_t>(k)]);
    return start;
}

std::uint64_t image_layout::file_end(int file) const
{
    // Silence at the very end of the file (a POSTGAP) follows its audio.
    const std::uint64_t size = sizes_.at(static_cast<std::size_t>(file));
    return file_start(file) + size + (size > 0 ? gap_bytes(file, size - 1) : 0);
}

long image_layout::position(int file, long frames) const
{
    const std::uint64_t at = static_cast<std::uint64_t>(frames) * frame_bytes;
    return static_cast<long>(file_start(file) / frame_bytes) + frames +
           static_cast<long>(gap_bytes(file, at) / frame_bytes);
}

std::uint64_t image_layout::size() const
{
    return file_start(static_cast<int>(sizes_.size()));
}

std::vector<image_piece_t> image_layout::pieces() const
{
    std::vector<image_piece_t> pieces;
    const auto add = [&](int file, std::uint64_t bytes) {
        if (bytes == 0)
            return;
        if (!pieces.empty() && pieces.back().file == file)
            pieces.back().bytes += bytes;
        else
            pieces.push_back({file, bytes});
    };
    for (int k = 0; k < static_cast<int>(sizes_.size()); ++k) {
        std::uint64_t done = 0;
        for (const auto &gap : gaps_) {
            if (gap.file != k)
                continue;
            add(k, gap.offset - done);
            add(-1, static_cast<std::uint64_t>(gap.frames) * frame_bytes);
            done = gap.offset;
        }
        add(k, sizes_[static_cast<std::size_t>(k)] - done);
    }
    return pieces;
}

long image_bytes(const std::vector<image_piece_t> &pieces)
{
    long bytes = 0;
    for (const auto &piece : pieces)
        bytes += static_cast<long>(piece.bytes);
    return bytes;
}
