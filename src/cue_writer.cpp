#include "cue_writer.h"

#include <cassert>
#include <string>

#include "log.h"
#include "pqlist.h"

namespace {

/// The disc's lines: catalog number, CD-Text file, texts, and the one data file.
void write_disc(const PQlist &pq, const char *datafile, const char *filetype, const char *cdtextfile,
                std::FILE *out)
{
    if (pq.upc_ean[0] != '\0')
        std::fprintf(out, "CATALOG %s\n", pq.upc_ean.data());
    if (cdtextfile != nullptr)
        std::fprintf(out, "CDTEXTFILE \"%s\"\n", cdtextfile);
    if (pq.title)
        std::fprintf(out, "TITLE \"%s\"\n", pq.title->c_str());
    if (pq.performer)
        std::fprintf(out, "PERFORMER \"%s\"\n", pq.performer->c_str());
    if (pq.songwriter)
        std::fprintf(out, "SONGWRITER \"%s\"\n", pq.songwriter->c_str());
    std::fprintf(out, "FILE \"%s\" %s\n", datafile, filetype);
}

/// A track's texts, ISRC and flags, the lines that come before its indexes.
void write_track_info(const PQtrack *t, std::FILE *out)
{
    if (t->title)
        std::fprintf(out, "    TITLE \"%s\"\n", t->title->c_str());
    if (t->performer)
        std::fprintf(out, "    PERFORMER \"%s\"\n", t->performer->c_str());
    if (t->songwriter)
        std::fprintf(out, "    SONGWRITER \"%s\"\n", t->songwriter->c_str());
    if (t->isrc[0] != '\0')
        std::fprintf(out, "    ISRC %s\n", t->isrc.data());
    if (t->flags != 0) {
        std::string words;
        if (t->flags & PQ_FLAG_PRE)
            words += " PRE";
        if (t->flags & PQ_FLAG_DCP)
            words += " DCP";
        if (t->flags & PQ_FLAG_4CH)
            words += " 4CH";
        if (t->flags & PQ_FLAG_SCMS)
            words += " SCMS";
        std::fprintf(out, "    FLAGS%s\n", words.c_str());
    }
}

/// A track's indexes, as times in the data file that starts at `data_start`.
void write_indexes(const PQtrack *t, const PQtrack *first, long data_start, std::FILE *out)
{
    char time[9];
    for (int i = 0; i < PQ_MAX_INDEX; ++i) {
        if (t->index[i] == -1)
            continue;
        if (t == first && i == 0) {
            // The data file holds track 1's pause only when it starts before track 1.
            if (data_start < first->index[1])
                std::fprintf(out, "    INDEX 00 00:00:00\n");
            continue;
        }
        std::fprintf(out, "    INDEX %02d %s\n", i, frames2str(t->index[i] - data_start, time));
    }
}

} // namespace

int pq_write_cuesheet(const PQlist &pq, const char *datafile, const char *filetype, long data_start,
                      const char *cdtextfile, std::FILE *out)
{
    assert(data_start >= 0);
    const PQtrack *first = pq.tracks.get();
    if (first == nullptr) {
        log_err("no tracks found in PQ list, can't write cue sheet.\n");
        return 1;
    }
    if (data_start > first->index[1]) {
        char a[9];
        char b[9];
        log_err("PQ list: cannot write cue sheet with data file starting at %s, while first track is at %s",
                frames2str(data_start, a), frames2str(first->index[1], b));
        return 1;
    }

    write_disc(pq, datafile, filetype, cdtextfile, out);
    short n = 1;
    for (const PQtrack *t = first; t != nullptr; t = t->next.get(), ++n) {
        std::fprintf(out, "  TRACK %02hd AUDIO\n", n);
        write_track_info(t, out);
        write_indexes(t, first, data_start, out);
    }
    return 0;
}
