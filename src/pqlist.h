// The disc model. A PQ list holds what the P and Q subcode of an audio CD
// will say: tracks with their index points, flags and ISRCs, the catalog
// number, the lead-out, and the CD-Text strings the cue sheet gave.
// Positions are frames (CD sectors of 2352 bytes, 75 per second), counted
// from the start of track 1's pregap; -1 means "no such position".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

/// One CD frame: 588 stereo sample frames of 16 bits at 44,100 Hz.
constexpr long CD_FRAME_BYTES = 2352;
constexpr long CD_FRAMES_PER_SECOND = 75;
/// The two seconds of silence that lead into track 1 when a cue sheet starts it at 00:00:00.
constexpr long CD_FIRST_PREGAP_FRAMES = 150;
/// The longest first pregap a DDP map stream can give: its field has four digits.
constexpr long CD_MAX_FIRST_PREGAP_FRAMES = 9999;
/// 89:59:74, the last position a disc can address.
constexpr long CD_LAST_FRAME = 90L * 60 * CD_FRAMES_PER_SECOND - 1;
/// 79:59:74, the end of an 80-minute disc, the longest that plants press without asking.
constexpr long CD_STANDARD_FRAMES = 80L * 60 * CD_FRAMES_PER_SECOND - 1;

/// Track flags. The low four bits are the Q-subcode CONTROL nibble.
enum : std::uint8_t {
    PQ_FLAG_PRE = 0x01,  ///< pre-emphasis
    PQ_FLAG_DCP = 0x02,  ///< digital copy permitted
    PQ_FLAG_4CH = 0x08,  ///< four-channel audio
    PQ_FLAG_SCMS = 0x10, ///< serial copy management
};

/// Number of index points a track can hold: 00 to 99.
constexpr int PQ_MAX_INDEX = 100;

struct PQtrack {
    /// Position of each index point in frames, -1 when absent.
    std::array<long, PQ_MAX_INDEX> index;
    /// ISRC, 12 characters and a terminator; empty for none.
    std::array<char, 13> isrc{};
    std::uint8_t flags = 0;
    /// The number the cue sheet gave the track where it is not the track's place on the
    /// disc (a sheet from a larger set that starts at TRACK 04); 0 otherwise.
    int sheet_number = 0;
    std::optional<std::string> title;
    std::optional<std::string> performer;
    std::optional<std::string> songwriter;
    std::unique_ptr<PQtrack> next;

    PQtrack() { index.fill(-1); }
};

struct PQlist {
    /// UPC/EAN, 13 digits and a terminator; empty for none.
    std::array<char, 14> upc_ean{};
    /// The CD-Text character code of the texts: 0x00, ISO 8859-1 bytes; 0x80, MS-JIS bytes.
    std::uint8_t text_charset = 0;
    std::optional<std::string> title;
    std::optional<std::string> performer;
    std::optional<std::string> songwriter;
    /// Lead-out position, the length of the whole program area; -1 until known.
    long lead_out = -1;
    std::unique_ptr<PQtrack> tracks;
};

// ---- Disc time and codes ----

/// Splits frames (>= 0) into minutes, seconds, frames. From 90 minutes on it warns and stores minutes 99.
void frames2msf(long frames, std::uint8_t *m, std::uint8_t *s, std::uint8_t *f);
/// Frames of an MSF position, or -1 when a part is out of range (89:59:74 is the last).
long msf2frames(std::uint8_t m, std::uint8_t s, std::uint8_t f);
/// The true "mm:ss:ff" of any length (minutes may exceed 99) into `buf` of `size` bytes; returns it.
char *disc_time(long frames, char *buf, std::size_t size);
/// Writes "mm:ss:ff" into `buf` (9 bytes) and returns it.
char *frames2str(long frames, char *buf);
/// Frames of a "m:s:f" text (one to three digits per field), or -1 when it is not a valid time.
long str2frames(const char *text);
/// 0 valid EAN-13, 1 check digit wrong or missing, 2 malformed. `out` (14 bytes, may be null)
/// receives the completed 13-digit code whenever the first twelve characters are digits.
int ean13_validate(const char *code, char *out);
/// 1 for a well-formed ISRC (CCOOOYYNNNNN: 2 letters, 3 letters or digits, 7 digits), else 0.
int isrc_is_valid(const char *code);

// ---- The list ----

/// A new empty list: no catalog, no texts, lead-out -1, no tracks.
std::unique_ptr<PQlist> pq_new();
/// A new track appended to the list; the list owns it.
PQtrack *new_track(PQlist &pq);
/// A new track that belongs to its maker until appended.
std::unique_ptr<PQtrack> new_track();
/// Links `track` after the last track and returns it; with a null list returns null and leaves `track` alone.
PQtrack *append_track(PQlist *pq, std::unique_ptr<PQtrack> &track);
/// Frees a track and hands back its successor.
std::unique_ptr<PQtrack> del_track(std::unique_ptr<PQtrack> track);
/// Frees the list, its tracks and texts.
void del_pq(std::unique_ptr<PQlist> pq);

int pq_num_tracks(const PQlist &pq);
/// The n-th track counting from 1, or null.
PQtrack *pq_get_track(const PQlist &pq, int n);
/// Track n's index 1 position, or -1 when there is no such track.
long pq_track_start(const PQlist &pq, int n);
/// Length of track n in frames, -1 when there is no such track. Mode 0 leaves out the
/// next track's pause (index 0), any other mode counts it.
long pq_track_length(const PQlist &pq, int n, int mode);
/// How messages name track n: "01", or "04 (disc track 01)" for a track the cue sheet numbered
/// otherwise; with `padded` false "1" and "4 (disc track 1)".
std::string pq_track_label(const PQlist &pq, int n, bool padded = true);
/// A text of the list in UTF-8, by the list's character code; controls become U+FFFD.
std::string pq_text_utf8(const PQlist &pq, const std::string &text);
/// A copy of the list whose texts are UTF-8 (text_charset then tells what they were).
std::unique_ptr<PQlist> pq_utf8_copy(const PQlist &pq);
/// Track n's title, or null.
const char *pq_track_title(const PQlist &pq, int n);
int pq_has_title(const PQlist &pq);
int pq_has_performer(const PQlist &pq);
int pq_has_songwriter(const PQlist &pq);
int pq_has_cdtext(const PQlist &pq);
/// A kind of text (title, performer, songwriter): the disc's member and the tracks' member.
using disc_text = std::optional<std::string> PQlist::*;
using track_text = std::optional<std::string> PQtrack::*;
/// Track 1's index 1 position: the length of the first pregap (0 without tracks).
long pq_get_first_pregap(const PQlist &pq);

/// Inserts `frames` of pregap at the start of the disc; track 1 gets index 0 at 0. Needs a track.
void pq_add_pregap(PQlist &pq, long frames);
/// Cuts `frames` from the start of the disc; 1 (and no change) when that is more than track 1's start.
int pq_remove(PQlist &pq, long frames);
/// Removes track 1's whole pregap and returns its length in frames.
long pq_remove_pregap(PQlist &pq);

// ---- Red Book check ----

/// The Red Book rules a layout can break.
enum class pq_rule {
    no_tracks,                ///< the list has no track
    first_pause_not_at_start, ///< track 1's index 00 is not at 0
    first_pregap_short,       ///< track 1's pregap is shorter than 2 seconds
    first_pregap_long,        ///< track 1's pregap is longer than a DDP map can describe
    catalog_length,           ///< the UPC/EAN is neither absent nor 13 digits
    index1_missing,           ///< a track has no index 01 after the disc's start
    track_short,              ///< a track plays less than 4 seconds to the next track's index 01
    lead_out_too_far,         ///< the lead-out lies past 89:59:74
};

/// One broken rule: the track it concerns (counted from 1; 0 for the disc) and, for the
/// length rules, the length found in frames (the lead-out's position for the last rule).
struct pq_rule_break {
    pq_rule rule;
    int track;
    long frames;
};

/// Every rule the layout breaks, in the order pq_check looks at them; empty when it may be mastered.
std::vector<pq_rule_break> pq_red_book_breaks(const PQlist &pq);
/// 1 when the layout may be mastered as an audio CD; 0 after logging the first broken rule.
/// With `warn`, a disc longer than 80 minutes gets a warning.
int pq_check(const PQlist &pq, int warn = 1);

// ---- Listings ----

char yes_no(int value);
/// The PQ table on standard output.
void pq_print(const PQlist &pq);
