#include "release_tags.h"

#include <string>

#include "pqlist.h"

namespace {

std::string text_or(const std::optional<std::string> &text, const std::optional<std::string> &fallback = {})
{
    if (text && !text->empty())
        return *text;
    return fallback.value_or("");
}

/// The tags the disc gives every file: the album, its artist, the barcode and the track count.
void add_disc_tags(const PQlist &pq, flac_metadata &m)
{
    m.tags.emplace_back("ALBUM", text_or(pq.title));
    m.tags.emplace_back("ALBUMARTIST", text_or(pq.performer));
    m.tags.emplace_back("TRACKTOTAL", std::to_string(pq_num_tracks(pq)));
    m.tags.emplace_back("BARCODE", pq.upc_ean.data());
}

} // namespace

flac_metadata release_track_metadata(const PQlist &pq, int n)
{
    flac_metadata m;
    const PQtrack *t = n > 0 ? pq_get_track(pq, n) : nullptr;
    if (t == nullptr) {
        // Hidden audio before track 1 belongs to the disc, not to a track.
        m.tags.emplace_back("ARTIST", text_or(pq.performer));
        m.tags.emplace_back("COMPOSER", text_or(pq.songwriter));
        add_disc_tags(pq, m);
        return m;
    }
    m.tags.emplace_back("TITLE", text_or(t->title));
    // A track without its own performer or songwriter is the disc's.
    m.tags.emplace_back("ARTIST", text_or(t->performer, pq.performer));
    m.tags.emplace_back("COMPOSER", text_or(t->songwriter, pq.songwriter));
    m.tags.emplace_back("TRACKNUMBER", std::to_string(n));
    m.tags.emplace_back("ISRC", t->isrc.data());
    add_disc_tags(pq, m);
    return m;
}

flac_metadata release_image_metadata(const PQlist &pq)
{
    flac_metadata m = release_track_metadata(pq, 0);
    m.cue_sheet = std::make_unique<flac_cue_sheet>();
    m.cue_sheet->catalog = pq.upc_ean.data();
    int n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        flac_cue_track track;
        track.number = n;
        track.isrc = t->isrc.data();
        track.pre_emphasis = (t->flags & PQ_FLAG_PRE) != 0;
        // The track starts at its first index, 00 when it has a pause; the indexes count from there.
        track.start = t->index[0] >= 0 ? t->index[0] : t->index[1];
        for (int i = 0; i < PQ_MAX_INDEX; ++i)
            if (t->index[i] >= 0)
                track.indexes.push_back({i, t->index[i] - track.start});
        m.cue_sheet->tracks.push_back(std::move(track));
    }
    return m;
}
