#include "pqlist.h"

#include <cassert>
#include <cctype>
#include <cstring>

#include "cdtext_msjis.h"
#include "log.h"
#include "text_encoding.h"

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

char *disc_time(long frames, char *buf, std::size_t size)
{
    const long seconds = frames / CD_FRAMES_PER_SECOND;
    std::snprintf(buf, size, "%02ld:%02ld:%02ld", seconds / 60, seconds % 60, frames % CD_FRAMES_PER_SECOND);
    return buf;
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

std::string pq_track_label(const PQlist &pq, int n, bool padded)
{
    const PQtrack *t = pq_get_track(pq, n);
    char label[48];
    const char *format = padded ? "%02d" : "%d";
    const char *renumbered = padded ? "%02d (disc track %02d)" : "%d (disc track %d)";
    if (t != nullptr && t->sheet_number != 0 && t->sheet_number != n)
        std::snprintf(label, sizeof label, renumbered, t->sheet_number, n);
    else
        std::snprintf(label, sizeof label, format, n);
    return label;
}

std::string pq_text_utf8(const PQlist &pq, const std::string &text)
{
    return pq.text_charset == CDTEXT_CHARSET_MSJIS ? msjis_to_utf8(text) : latin1_to_utf8(text);
}

std::unique_ptr<PQlist> pq_utf8_copy(const PQlist &pq)
{
    const auto convert = [&pq](const std::optional<std::string> &text) -> std::optional<std::string> {
        if (!text)
            return std::nullopt;
        return pq_text_utf8(pq, *text);
    };
    auto copy = pq_new();
    copy->upc_ean = pq.upc_ean;
    copy->text_charset = pq.text_charset;
    copy->lead_out = pq.lead_out;
    copy->title = convert(pq.title);
    copy->performer = convert(pq.performer);
    copy->songwriter = convert(pq.songwriter);
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get()) {
        PQtrack *u = new_track(*copy);
        u->index = t->index;
        u->isrc = t->isrc;
        u->flags = t->flags;
        u->sheet_number = t->sheet_number;
        u->title = convert(t->title);
        u->performer = convert(t->performer);
        u->songwriter = convert(t->songwriter);
    }
    return copy;
}

namespace {

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

// ---- Red Book check ----

std::vector<pq_rule_break> pq_red_book_breaks(const PQlist &pq)
{
    std::vector<pq_rule_break> breaks;
    const PQtrack *first = pq.tracks.get();
    if (first == nullptr) {
        breaks.push_back({pq_rule::no_tracks, 0, 0});
        return breaks;
    }
    // The program area starts with track 1's pause, at least two seconds long.
    if (first->index[0] != 0) {
        breaks.push_back({pq_rule::first_pause_not_at_start, 1, 0});
    } else {
        const long pregap = first->index[1] - first->index[0];
        if (pregap < CD_FIRST_PREGAP_FRAMES)
            breaks.push_back({pq_rule::first_pregap_short, 1, pregap});
        // The DDP map gives the pregap of the audio stream in four digits.
        if (pregap > CD_MAX_FIRST_PREGAP_FRAMES)
            breaks.push_back({pq_rule::first_pregap_long, 1, pregap});
    }
    const std::size_t catalog_len = std::strlen(pq.upc_ean.data());
    if (catalog_len != 0 && catalog_len != 13)
        breaks.push_back({pq_rule::catalog_length, 0, 0});
    int n = 1;
    for (const PQtrack *t = first; t != nullptr; t = t->next.get(), ++n)
        if (t->index[1] <= 0)
            breaks.push_back({pq_rule::index1_missing, n, 0});
    // Every track must play at least four seconds, counting the pause before the next one.
    n = 1;
    for (const PQtrack *t = first; t != nullptr; t = t->next.get(), ++n) {
        const long end = t->next ? t->next->index[1] : pq.lead_out;
        if (t->index[1] > 0 && end - t->index[1] < 4 * CD_FRAMES_PER_SECOND)
            breaks.push_back({pq_rule::track_short, n, end - t->index[1]});
    }
    // The Q subcode counts minutes in two BCD digits, and 90:00:00 is where the lead-out area's
    // addresses begin: the program area must end before it.
    if (pq.lead_out > CD_LAST_FRAME)
        breaks.push_back({pq_rule::lead_out_too_far, 0, pq.lead_out});
    return breaks;
}

int pq_check(const PQlist &pq, int warn)
{
    const std::vector<pq_rule_break> breaks = pq_red_book_breaks(pq);
    char length[32];
    if (breaks.empty()) {
        // 80 minutes is what a standard disc holds; longer ones need the plant's consent.
        if (warn && pq.lead_out > CD_STANDARD_FRAMES)
            log_warn("PQ list: the disc is %s long, more than 79:59:74: confirm with the plant that it can press it\n",
                     disc_time(pq.lead_out, length, sizeof length));
        return 1;
    }
    const pq_rule_break &b = breaks.front();
    const std::size_t catalog_len = std::strlen(pq.upc_ean.data());
    switch (b.rule) {
    case pq_rule::no_tracks: log_err("PQ list: no tracks.\n"); break;
    case pq_rule::first_pause_not_at_start:
        log_err("PQ list: position of track %s index 00 is not at 0.\n", pq_track_label(pq, 1).c_str());
        break;
    case pq_rule::first_pregap_short:
        log_err("PQ list: first track's pregap shorter than 2 seconds (%ld frames)\n", b.frames);
        break;
    case pq_rule::first_pregap_long: {
        char gap[9];
        log_err("PQ list: first track's pregap of %ld frames (%s) is longer than the %ld frames a DDP map can "
                "describe\n",
                b.frames, frames2str(b.frames, gap), CD_MAX_FIRST_PREGAP_FRAMES);
        break;
    }
    case pq_rule::catalog_length:
        // A UPC-A code has 12 digits: as an EAN-13 it gets a leading 0.
        log_err("PQ list: UPC/EAN shorter than 13 digits ('%s')%s\n", pq.upc_ean.data(),
                catalog_len == 12 ? "; a 12-digit UPC-A is written as a 13-digit EAN with a leading 0" : "");
        break;
    case pq_rule::index1_missing:
        log_err("PQ list: track %s index 1 is not set.\n", pq_track_label(pq, b.track).c_str());
        break;
    case pq_rule::track_short:
        log_err("PQ list: Track %s is shorter than 4 sec.\n", pq_track_label(pq, b.track).c_str());
        break;
    case pq_rule::lead_out_too_far:
        log_err("PQ list: disc too long: the lead-out at %s is past 89:59:74, the last position a CD can address\n",
                disc_time(pq.lead_out, length, sizeof length));
        break;
    }
    return 0;
}

// ---- Listings ----

char yes_no(int value) { return value != 0 ? 'Y' : 'N'; }

void pq_print(const PQlist &pq)
{
    char start[9];
    char length[9];
    std::printf("*** PQ Listing ***\nUPC/EAN: %s\n", pq.upc_ean.data());
    std::printf("Trk Idx  Start Time         Track Length       ISRC          PRE DCP 4CH SCMS\n");
    std::printf("--- ---  -----------------  -----------------  ------------  --- --- --- ----\n");
    int n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        for (int i = 0; i < PQ_MAX_INDEX; ++i) {
            const long pos = t->index[i];
            if (pos == -1)
                continue;
            std::printf(" %02d  %02d  %8s (%6ld)", n, i, frames2str(pos, start), pos);
            if (i != 1) {
                std::printf("\n");
                continue;
            }
            const long len = pq_track_length(pq, n, 0);
            std::printf("  %8s (%6ld)  %12s   %c   %c   %c   %c\n", frames2str(len, length), len, t->isrc.data(),
                        yes_no(t->flags & PQ_FLAG_PRE), yes_no(t->flags & PQ_FLAG_DCP),
                        yes_no(t->flags & PQ_FLAG_4CH), yes_no(t->flags & PQ_FLAG_SCMS));
        }
    }
    std::printf("--- ---  -----------------  -----------------  ------------  --- --- --- ----\n");
    std::printf("End      %8s (%6ld)\n", frames2str(pq.lead_out, start), pq.lead_out);
}
