#include "image_finish.h"

#include <cstdint>
#include <vector>

namespace {

/// 150 frames of 2352 bytes: the silence put before track 1.
constexpr long first_pregap_bytes = CD_FIRST_PREGAP_FRAMES * CD_FRAME_BYTES;

/// The highest index position of the last track.
long last_index_position(const PQlist &pq)
{
    const PQtrack *last = pq.tracks.get();
    while (last->next)
        last = last->next.get();
    long position = -1;
    for (long p : last->index)
        if (p != -1)
            position = p;
    return position;
}

} // namespace

/// Joins the files with the silence of PREGAP and POSTGAP, and turns every index time in a
/// file into its position on the disc.
void place_audio(cuesheet_t *cue, const std::vector<cue_index_point> &points, const cue_track_gaps &track_gaps)
{
    std::vector<std::uint64_t> sizes;
    for (const auto &file : cue->files)
        sizes.push_back(static_cast<std::uint64_t>(file.size));
    // Each track's points, in the order of the sheet: a PREGAP goes before the track's INDEX 01,
    // a POSTGAP before the next track's first index, or at the end of the last file.
    std::vector<image_gap_t> gaps;
    const auto at = [](const cue_index_point &p, long frames) {
        return image_gap_t{p.file, static_cast<std::uint64_t>(p.frames) * CD_FRAME_BYTES, frames};
    };
    std::size_t first = 0;
    for (std::size_t t = 0; t < track_gaps.size(); ++t) {
        std::size_t next = first;
        while (next < points.size() && points[next].track == points[first].track)
            ++next;
        const auto [pregap, postgap] = track_gaps[t];
        for (std::size_t i = first; i < next && pregap > 0; ++i)
            if (points[i].index == 1)
                gaps.push_back(at(points[i], pregap));
        if (postgap > 0)
            gaps.push_back(next < points.size() ? at(points[next], postgap)
                                                 : image_gap_t{static_cast<int>(sizes.size()) - 1, sizes.back(), postgap});
        first = next;
    }

    const image_layout layout(sizes, gaps);
    for (const auto &point : points)
        point.track->index[point.index] = layout.position(point.file, point.frames);
    // A PREGAP is the track's pause: index 0 where its silence begins.
    PQtrack *track = cue->pq->tracks.get();
    for (const auto &[pregap, postgap] : track_gaps) {
        if (pregap > 0)
            track->index[0] = track->index[1] - pregap;
        track = track->next.get();
    }
    for (std::size_t k = 0; k < cue->files.size(); ++k) {
        cue->files[k].start = static_cast<long>(layout.file_start(static_cast<int>(k)));
        cue->files[k].end = static_cast<long>(layout.file_end(static_cast<int>(k)));
    }
    cue->image = layout.pieces();
}

/// The first track's pause: at least the two seconds of silence that lead into every disc.
void lead_into_first_track(cuesheet_t *cue, const char *path, const cue_track_gaps &gaps)
{
    PQlist &pq = *cue->pq;
    // A first track that starts right at 00:00:00 has its pause there too.
    PQtrack &first = *pq.tracks;
    if (first.index[0] == -1 && first.index[1] == 0)
        first.index[0] = 0;
    // Rippers such as EAC write a track 1 that starts less than two seconds into its file
    // (INDEX 00 00:00:00, INDEX 01 00:00:33): the original disc's pregap was longer by the
    // two seconds before the file began. They are added, and the disc keeps its timing;
    // so they are before a PREGAP of less than two seconds.
    const bool short_pregap = first.index[0] == 0 && first.index[1] > 0 && first.index[1] < CD_FIRST_PREGAP_FRAMES;
    if (short_pregap) {
        char pregap[9];
        if (gaps.front().first > 0)
            cue_warn(path, 0, "track %s has a PREGAP of %s, less than the two seconds before it on a disc: "
                              "two seconds of silence are added before it",
                     pq_track_label(pq, 1).c_str(), frames2str(first.index[1], pregap));
        else
            cue_warn(path, 0, "track %s starts %s into its file, less than the two seconds before it on a disc: "
                              "two seconds of silence are added before the audio",
                     pq_track_label(pq, 1).c_str(), frames2str(first.index[1], pregap));
    }
    // Without a pregap in the data file, the image gets two seconds of silence before track 1.
    if (pq_get_first_pregap(pq) == 0 || short_pregap) {
        pq_add_pregap(pq, CD_FIRST_PREGAP_FRAMES);
        cue->pregap_size = first_pregap_bytes;
        for (auto &file : cue->files) {
            file.start += first_pregap_bytes;
            file.end += first_pregap_bytes;
        }
        cue->image.insert(cue->image.begin(), image_piece_t{-1, static_cast<std::uint64_t>(first_pregap_bytes)});
    }
}

/// The padding to the last whole sector, the lead-out, and enough audio for every index.
void finish_image(cuesheet_t *cue, const std::vector<cue_index_point> &points)
{
    PQlist &pq = *cue->pq;
    // Audio that does not end on a sector boundary runs on into the next file: gapless albums
    // depend on it. Only the image as a whole is padded.
    for (std::size_t k = 0; k + 1 < cue->files.size(); ++k) {
        const cue_datafile_t &file = cue->files[k];
        if (file.size % CD_FRAME_BYTES != 0)
            cue_warn(file.path.c_str(), -1, "audio does not end at a CD sector boundary (%ld samples over): "
                                            "the next file follows without a gap",
                     file.size % CD_FRAME_BYTES / cue_sample_frame_bytes);
    }
    const cue_datafile_t &last = cue->files.back();
    const long rest = image_bytes(cue->image) % CD_FRAME_BYTES;
    if (rest != 0) {
        cue->padding_size = CD_FRAME_BYTES - rest;
        cue_warn(last.path.c_str(), -1, "audio does not end at a CD sector boundary, adding %ld bytes of silence",
                 cue->padding_size);
        cue->image.push_back({-1, static_cast<std::uint64_t>(cue->padding_size)});
    }
    pq.lead_out = image_bytes(cue->image) / CD_FRAME_BYTES;

    // Every index lies within its file: the last file's within the padded image, any other's no later
    // than the frame in which the next file starts, after the silence of a POSTGAP at the file's end:
    // an index past the audio of a file that ends inside a frame would follow the next file's first.
    for (const auto &point : points) {
        const auto k = static_cast<std::size_t>(point.file);
        const cue_datafile_t &file = cue->files[k];
        const bool is_last = &file == &last;
        const long ends = is_last ? pq.lead_out : cue->files[k + 1].start / CD_FRAME_BYTES;
        const long needed = is_last ? last_index_position(pq) : point.track->index[point.index];
        if (ends < needed) {
            char end[9];
            char need[9];
            cue_err(file.path.c_str(), 0, "not enough audio data, file ends at %s, but we need at least %s.",
                    frames2str(ends, end), frames2str(needed, need));
        }
    }
}
