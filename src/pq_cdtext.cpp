#include "pq_cdtext.h"

#include <array>

#include "cdtext.h"
#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "cdtext_writer.h"
#include "pqlist.h"

namespace {

void print_cdtext_kind(const PQlist &pq, const char *heading, disc_text disc, track_text track)
{
    std::printf("%s", heading);
    if (pq.*disc) {
        std::printf("    Disc : ");
        cdtext_print(stdout, (pq.*disc)->c_str(), pq.text_charset);
        std::printf("\n");
    }
    int n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        if (!(t->*track))
            continue;
        std::printf("    Trk%02d: ", n);
        cdtext_print(stdout, (t->*track)->c_str(), pq.text_charset);
        std::printf("\n");
    }
}

} // namespace

void pq_print_cdtext(const PQlist &pq)
{
    if (!pq_has_cdtext(pq))
        return;
    latin1_init();
    std::printf("Block 0:\n");
    if (pq_has_title(pq))
        print_cdtext_kind(pq, "  Title\n", &PQlist::title, &PQtrack::title);
    if (pq_has_performer(pq))
        print_cdtext_kind(pq, "  Performer\n", &PQlist::performer, &PQtrack::performer);
    if (pq_has_songwriter(pq))
        print_cdtext_kind(pq, "  Songwriter\n", &PQlist::songwriter, &PQtrack::songwriter);
    latin1_done();
}

namespace {

/// One kind of CD-Text that a PQ list holds, with its pack type.
struct cdtext_kind {
    unsigned int type;
    disc_text disc;
    track_text track;
    int (*present)(const PQlist &);
};

// The writer puts titles, then performers, then songwriters.
constexpr std::array<cdtext_kind, 3> cdtext_kinds{{
    {CDTEXT_TITLE, &PQlist::title, &PQtrack::title, pq_has_title},
    {CDTEXT_PERFORMER, &PQlist::performer, &PQtrack::performer, pq_has_performer},
    {CDTEXT_SONGWRITER, &PQlist::songwriter, &PQtrack::songwriter, pq_has_songwriter},
}};

/// Puts the list's texts into the writer: titles, then performers, then songwriters, each
/// kind with the disc's text and one per track.
void put_cdtext(const PQlist &pq, cdtext_writer_t *writer)
{
    // Japanese texts are MS-JIS and declare their language; all others are ISO 8859-1 in English.
    if (pq.text_charset == CDTEXT_CHARSET_MSJIS) {
        cdtw_set_charset(writer, CDTEXT_CHARSET_MSJIS);
        cdtw_set_language(writer, CDTEXT_LANGUAGE_JAPANESE);
    }
    for (const cdtext_kind &kind : cdtext_kinds) {
        if (!kind.present(pq))
            continue;
        const auto &disc = pq.*kind.disc;
        cdtw_put(writer, 0, kind.type, disc ? disc->c_str() : nullptr);
        // Track numbers are places in the list; a missing text still takes its NUL.
        int number = 1;
        for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++number) {
            const auto &text = t->*kind.track;
            cdtw_put(writer, number, kind.type, text ? text->c_str() : nullptr);
        }
    }
    cdtw_close(writer);
}

} // namespace

long pq_cdtext_pack_count(const PQlist &pq)
{
    // The writer without a stream counts the packs it would write.
    auto counter = cdtw_open(nullptr);
    put_cdtext(pq, counter.get());
    return static_cast<long>(counter->seq);
}

int pq_write_cdtext(const PQlist &pq, std::FILE *out)
{
    if (!pq_has_title(pq) && !pq_has_performer(pq) && !pq_has_songwriter(pq))
        return -1;
    // One block holds 256 packs, sequence numbers 0 to 255; more would wrap the sequence
    // numbers and the counts of the size information.
    if (pq_cdtext_pack_count(pq) > CDTEXT_MAX_PACKS)
        return -2;

    // cdtw_open cannot return null: an allocation failure throws before any byte is written.
    auto writer = cdtw_open(out);
    put_cdtext(pq, writer.get());
    return 0;
}
