#include "pqlist.h"

#include <cassert>
#include <cctype>
#include <cstring>

#include "log.h"

// ---- Disc time and codes ----

void frames2msf(long frames, std::uint8_t *m, std::uint8_t *s, std::uint8_t *f)
{
    assert(frames >= 0);
    *f = static_cast<std::uint8_t>(frames % CD_FRAMES_PER_SECOND);
    const long secs = frames / CD_FRAMES_PER_SECOND;
    *s = static_cast<std::uint8_t>(secs % 60);
    const long minutes = secs / 60;
    if (minutes >= 90) {
        // MSF minutes run to 89 on a disc; 99 marks a position beyond that.
        log_warn("frames2msf(): minutes out of range (%ld)\n", minutes);
        *m = 99;
    } else {
        *m = static_cast<std::uint8_t>(minutes);
    }
}

long msf2frames(std::uint8_t m, std::uint8_t s, std::uint8_t f)
{
    if (m > 89 || s > 59 || f > 74)
        return -1;
    return (m * 60L + s) * CD_FRAMES_PER_SECOND + f;
}

char *frames2str(long frames, char *buf)
{
    std::uint8_t m, s, f;
    frames2msf(frames, &m, &s, &f);
    // Each part is below 100, so the text is exactly eight characters.
    std::snprintf(buf, 9, "%02u:%02u:%02u", m % 100u, s % 100u, f % 100u);
    return buf;
}

long str2frames(const char *text)
{
    int values[3] = {0, 0, 0};
    int digits[3] = {0, 0, 0};
    int field = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p >= '0' && *p <= '9') {
            if (++digits[field] > 3)
                return -1;
            values[field] = values[field] * 10 + (*p - '0');
        } else if (*p == ':') {
            if (digits[field] == 0 || field == 2)
                return -1;
            ++field;
        } else {
            return -1;
        }
    }
    if (field != 2 || digits[2] == 0)
        return -1;
    if (values[0] > 89 || values[1] > 59 || values[2] > 74)
        return -1;
    return msf2frames(static_cast<std::uint8_t>(values[0]), static_cast<std::uint8_t>(values[1]),
                      static_cast<std::uint8_t>(values[2]));
}

int ean13_validate(const char *code, char *out)
{
    if (code == nullptr)
        return 2;
    int sum = 0;
    for (int i = 0; i < 12; ++i) {
        if (code[i] < '0' || code[i] > '9')
            return 2; // also catches a code shorter than twelve characters
        // EAN-13 weighs the digits 1, 3, 1, 3, ... from the left.
        sum += (code[i] - '0') * ((i % 2 == 0) ? 1 : 3);
    }
    const int check = (10 - sum % 10) % 10;
    if (out != nullptr) {
        std::memcpy(out, code, 12);
        out[12] = static_cast<char>('0' + check);
        out[13] = '\0';
    }
    if (std::strlen(code) > 13)
        return 2;
    if (code[12] < '0' || code[12] > '9')
        return 1;
    return (code[12] - '0') == check ? 0 : 1;
}

int isrc_is_valid(const char *code)
{
    if (code == nullptr)
        return 0;
    for (int i = 0; i < 12; ++i) {
        const char c = code[i];
        const bool upper = c >= 'A' && c <= 'Z';
        const bool digit = c >= '0' && c <= '9';
        // Country code, registrant code, then year and designation code.
        const bool ok = i < 2 ? upper : i < 5 ? (upper || digit) : digit;
        if (!ok)
            return 0; // a terminator among the first twelve fails here too
    }
    return code[12] == '\0' ? 1 : 0;
}

// ---- The list ----

std::unique_ptr<PQlist> pq_new() { return std::make_unique<PQlist>(); }

std::unique_ptr<PQtrack> new_track() { return std::make_unique<PQtrack>(); }

PQtrack *new_track(PQlist &pq)
{
    auto track = new_track();
    return append_track(&pq, track);
}

PQtrack *append_track(PQlist *pq, std::unique_ptr<PQtrack> &track)
{
    if (pq == nullptr)
        return nullptr;
    std::unique_ptr<PQtrack> *slot = &pq->tracks;
    while (*slot)
        slot = &(*slot)->next;
    *slot = std::move(track);
    return slot->get();
}

std::unique_ptr<PQtrack> del_track(std::unique_ptr<PQtrack> track)
{
    if (!track)
        return nullptr;
    return std::move(track->next);
}

void del_pq(std::unique_ptr<PQlist> pq)
{
    if (!pq)
        return;
    // Unlink the chain one track at a time rather than by nested destructors.
    auto track = std::move(pq->tracks);
    while (track)
        track = del_track(std::move(track));
}

int pq_num_tracks(const PQlist &pq)
{
    int n = 0;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get())
        ++n;
    return n;
}

PQtrack *pq_get_track(const PQlist &pq, int n)
{
    if (n < 1)
        return nullptr;
    PQtrack *t = pq.tracks.get();
    for (int i = 1; t != nullptr && i < n; ++i)
        t = t->next.get();
    return t;
}

long pq_track_start(const PQlist &pq, int n)
{
    const PQtrack *t = pq_get_track(pq, n);
    return t != nullptr ? t->index[1] : -1;
}

long pq_track_length(const PQlist &pq, int n, int mode)
{
    const PQtrack *t = pq_get_track(pq, n);
    if (t == nullptr)
        return -1;
    const PQtrack *u = t->next.get();
    if (u == nullptr)
        return pq.lead_out - t->index[1];
    if (mode != 0 || u->index[0] == -1)
        return u->index[1] - t->index[1];
    return u->index[0] - t->index[1];
}

const char *pq_track_title(const PQlist &pq, int n)
{
    const PQtrack *t = pq_get_track(pq, n);
    return (t != nullptr && t->title) ? t->title->c_str() : nullptr;
}

namespace {

using disc_text = std::optional<std::string> PQlist::*;
using track_text = std::optional<std::string> PQtrack::*;

int has_text(const PQlist &pq, disc_text disc, track_text track)
{
    if (pq.*disc)
        return 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get())
        if (t->*track)
            return 1;
    return 0;
}

// Shifts every present position of every track, and the lead-out when known.
void shift_positions(PQlist &pq, long delta, bool skip_first_index0)
{
    for (PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get()) {
        for (int i = 0; i < PQ_MAX_INDEX; ++i) {
            if (skip_first_index0 && t == pq.tracks.get() && i == 0)
                continue;
            if (t->index[i] != -1)
                t->index[i] += delta;
        }
    }
    if (pq.lead_out != -1)
        pq.lead_out += delta;
}

} // namespace

int pq_has_title(const PQlist &pq) { return has_text(pq, &PQlist::title, &PQtrack::title); }
int pq_has_performer(const PQlist &pq) { return has_text(pq, &PQlist::performer, &PQtrack::performer); }
int pq_has_songwriter(const PQlist &pq) { return has_text(pq, &PQlist::songwriter, &PQtrack::songwriter); }

int pq_has_cdtext(const PQlist &pq)
{
    return (pq_has_title(pq) || pq_has_performer(pq) || pq_has_songwriter(pq)) ? 1 : 0;
}

long pq_get_first_pregap(const PQlist &pq)
{
    const PQtrack *t = pq.tracks.get();
    if (t == nullptr || t->index[1] == -1)
        return 0;
    return t->index[1];
}

void pq_add_pregap(PQlist &pq, long frames)
{
    assert(pq.tracks);
    shift_positions(pq, frames, true);
    PQtrack &first = *pq.tracks;
    if (first.index[1] != 0)
        first.index[0] = 0;
}

int pq_remove(PQlist &pq, long frames)
{
    assert(pq.tracks);
    PQtrack &first = *pq.tracks;
    if (frames > first.index[1])
        return 1;
    shift_positions(pq, -frames, false);
    first.index[0] = first.index[1] != 0 ? 0 : -1;
    return 0;
}

long pq_remove_pregap(PQlist &pq)
{
    const long gap = pq_get_first_pregap(pq);
    if (gap == 0)
        return 0;
    pq.tracks->index[0] = -1;
    shift_positions(pq, -gap, false);
    return gap;
}

// ---- CD-Text ----

#include "cdtext.h"

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

long text_bytes(const std::optional<std::string> &text) { return text ? static_cast<long>(text->size()) + 1 : 1; }

/// The bytes one kind takes in the packs: each text of the disc and its tracks with its NUL.
long cdtext_kind_bytes(const PQlist &pq, const cdtext_kind &kind)
{
    long bytes = text_bytes(pq.*kind.disc);
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get())
        bytes += text_bytes(t->*kind.track);
    return bytes;
}

} // namespace

long pq_cdtext_pack_count(const PQlist &pq)
{
    long packs = 0;
    bool last_pack_partial = false;
    for (const cdtext_kind &kind : cdtext_kinds) {
        if (!kind.present(pq))
            continue;
        // Each kind starts in a fresh pack of 12 text bytes.
        const long bytes = cdtext_kind_bytes(pq, kind);
        packs += (bytes + CDTEXT_PACK_TEXT - 1) / CDTEXT_PACK_TEXT;
        last_pack_partial = bytes % CDTEXT_PACK_TEXT != 0;
    }
    if (packs == 0)
        return 0;
    // The three size-information packs close the block. Without a track the writer has no
    // track range to give: it writes neither them nor the last, unfilled pack.
    if (pq_num_tracks(pq) > 0)
        return packs + 3;
    return last_pack_partial ? packs - 1 : packs;
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
    for (const cdtext_kind &kind : cdtext_kinds) {
        if (!kind.present(pq))
            continue;
        const auto &disc = pq.*kind.disc;
        cdtw_put(writer.get(), 0, kind.type, disc ? disc->c_str() : nullptr);
        // Track numbers are places in the list; a missing text still takes its NUL.
        int number = 1;
        for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++number) {
            const auto &text = t->*kind.track;
            cdtw_put(writer.get(), number, kind.type, text ? text->c_str() : nullptr);
        }
    }
    cdtw_close(writer.get());
    return 0;
}
