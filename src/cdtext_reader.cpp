#include "cdtext_reader.h"

#include <algorithm>
#include <limits>

#include "cdtext.h"
#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "log.h"
#include "pqlist.h"

// ---- Reader ----

namespace {

/// Block records are indexed by the pack's 3-bit block number.
constexpr int CDTEXT_BLOCKS = 8;

/// The text buffer of the listing: one CD-Text item of the longest kind, NUL included.
constexpr std::size_t LISTING_TEXT_MAX = 160;
/// The text buffer of the transfer: all the text one block can carry (253 packs of 12 bytes).
constexpr std::size_t BLOCK_TEXT_MAX = 3036;

/// Collects the texts of one pack type as they run across packs, and tells which
/// track each belongs to. A pack names the track of its first byte; each NUL ends
/// a text, which belongs to the pack's track if that is ahead of the text before,
/// else to the track after the one before.
///
/// A text is made of characters of `width` bytes: one, or two in a double-byte block
/// (MS-JIS), whose texts run in pairs of bytes: there a pair of 0 bytes ends a text, and a
/// 0 byte in any other pair only fills (before a pack's end, or to end a text on a pair).
class text_collector {
public:
    /// `capacity` counts the ending NUL character: a longer run of bytes is cut to
    /// capacity - width bytes.
    text_collector(std::size_t capacity, std::size_t width)
        : width_(width), limit_(capacity - width), repeat_mark_(width, '\t'),
          last_track_(width == 1 ? std::numeric_limits<int>::max() : 0xFFFF)
    {
        text_.reserve(limit_);
    }

    /// A new pack type starts: no text in progress, and the track count starts over.
    void restart()
    {
        text_.clear();
        previous_.clear();
        track_ = -1;
    }

    /// Takes the pack's text bytes from `from` on (a multiple of the width, so that pairs stay
    /// pairs) and calls `done(track, text)` for every non-empty text that ends; stops early and
    /// returns false when `done` does.
    template <typename Done> bool feed(const cdtext_pack_t &pack, std::size_t from, Done &&done)
    {
        for (std::size_t i = from; i + width_ <= pack.text.size(); i += width_) {
            const std::uint8_t *character = &pack.text[i];
            const std::uint8_t *end = character + width_;
            if (std::any_of(character, end, [](std::uint8_t byte) { return byte != 0; })) {
                for (const std::uint8_t *byte = character; byte != end; ++byte)
                    if (*byte != 0 && text_.size() < limit_) // a damaged file: keep the head, drop the rest
                        text_.push_back(static_cast<char>(*byte));
                continue;
            }
            advance_track(pack.track);
            resolve_repeat_mark();
            if (text_.empty())
                continue; // an empty text still takes its track's place
            const bool go_on = done(track_, text_);
            text_.clear();
            if (!go_on)
                return false;
        }
        return true;
    }

private:
    /// A text of one TAB character (0x09, or two in a double-byte block) is CD-Text's mark
    /// for "the same as the previous track": authoring tools write it for a performer that
    /// repeats.
    void resolve_repeat_mark()
    {
        if (text_ == repeat_mark_)
            text_ = previous_;
        previous_ = text_;
    }

    void advance_track(int pack_track)
    {
        if (pack_track > track_)
            track_ = pack_track;
        else if (track_ < last_track_) // a file of nothing but NULs cannot overflow it
            ++track_;
    }

    std::size_t width_;
    std::size_t limit_;
    std::string repeat_mark_;
    int last_track_; ///< where the count of tracks stops
    std::string text_;
    std::string previous_; ///< the last text that ended, for the repeat mark
    int track_ = -1;
};

void print_block_header(int block, const cdtext_block_info_t &info)
{
    std::printf("Block %d:\n", block);
    std::printf("  %-*s: %s\n", 13, "Language", language_to_str(info.language));
    std::printf("  %-*s: %s\n", 13, "Character set", charset_to_str(info.charset));
    std::printf("  %-*s: %d-%d\n", 13, "Tracks", info.first_track, info.last_track);
}

/// TOC pack for track 0: first and last track, lead-out as minutes, seconds, frames.
/// Returns the last track, which limits the track starts of the later TOC packs.
int print_toc_head(const cdtext_pack_t &pack)
{
    const auto &t = pack.text;
    std::printf("    Tracks: %d - %d, Lead-out at: %02d:%02d:%02d\n", t[0], t[1], t[3], t[4], t[5]);
    return t[1];
}

/// TOC pack for track n: the starts of tracks n to n+3, three bytes each.
void print_toc_starts(const cdtext_pack_t &pack, int last_track)
{
    for (int k = 0; k < 4; ++k) {
        if (pack.track + k > last_track)
            continue;
        const auto *msf = &pack.text[static_cast<std::size_t>(3 * k)];
        std::printf("    Track %02d: %02d:%02d:%02d\n", pack.track + k, msf[0], msf[1], msf[2]);
    }
}

void print_text_line(int type, int track, const std::string &text, int charset)
{
    if (type == CDTEXT_GENRE)
        std::printf("    Detail: ");
    else if (track == 0)
        std::printf("    Disk  : ");
    else
        std::printf("    Trk %02d: ", track);
    cdtext_print(stdout, text.c_str(), charset);
    std::printf("\n");
}

/// The texts of a listing, each printed as it ends: single bytes, or pairs in an MS-JIS block.
class text_lister {
public:
    void restart()
    {
        single_.restart();
        double_.restart();
    }

    void feed(const cdtext_pack_t &pack, std::size_t from, int charset)
    {
        const auto print = [&](int track, const std::string &text) {
            print_text_line(pack.type, track, text, charset);
            return true;
        };
        if (charset == CDTEXT_CHARSET_MSJIS)
            double_.feed(pack, from, print);
        else
            single_.feed(pack, from, print);
    }

private:
    text_collector single_{LISTING_TEXT_MAX, 1};
    text_collector double_{LISTING_TEXT_MAX, 2};
};

/// Scans the size information into `blocks` and goes back to the start of the file.
void scan_and_rewind(std::FILE *in, cdtext_block_info_t blocks[CDTEXT_BLOCKS])
{
    cdtext_scan_blocks(in, blocks);
    std::rewind(in);
}

std::optional<std::string> *pq_text_slot(PQlist &pq, int track, int type)
{
    if (track == 0) {
        switch (type) {
        case CDTEXT_TITLE: return &pq.title;
        case CDTEXT_PERFORMER: return &pq.performer;
        default: return &pq.songwriter;
        }
    }
    PQtrack *t = pq_get_track(pq, track);
    if (t == nullptr)
        return nullptr;
    switch (type) {
    case CDTEXT_TITLE: return &t->title;
    case CDTEXT_PERFORMER: return &t->performer;
    default: return &t->songwriter;
    }
}

} // namespace

long cdtext_file_header(std::FILE *in)
{
    // The header that READ TOC gives for CD-Text: the length of what follows its first two
    // bytes (big-endian), two reserved bytes, then the packs.
    constexpr long header = 4;
    unsigned char length[2];
    long size = -1;
    if (std::fseek(in, 0, SEEK_END) == 0)
        size = std::ftell(in);
    std::rewind(in);
    const bool has_length = std::fread(length, 1, sizeof length, in) == sizeof length;
    std::rewind(in);
    if (!has_length || size < header + CDTEXT_PACK_SIZE || size % CDTEXT_PACK_SIZE != header)
        return 0;
    return length[0] * 256L + length[1] == size - 2 ? header : 0;
}

int cdtext_scan_blocks(std::FILE *in, cdtext_block_info_t blocks[8])
{
    for (int b = 0; b < CDTEXT_BLOCKS; ++b)
        blocks[b] = cdtext_block_info_t{};
    std::array<bool, 3> found{};

    cdtext_pack_t pack;
    for (;;) {
        const int r = cdtp_read(&pack, in);
        if (r == -1)
            break;
        if (r == -2)
            return -1;
        if (pack.type != CDTEXT_SIZE_INFO || pack.charpos != 0)
            continue;
        cdtext_block_info_t &info = blocks[pack.block & 7];
        const auto &t = pack.text;
        switch (pack.track) {
        case 0: // character code, track range, flags, counts of 0x80-0x87
            info.charset = t[0];
            info.first_track = t[1];
            info.last_track = t[2];
            info.flags_byte = t[3];
            for (std::size_t i = 0; i < 8; ++i)
                info.counts[i] = t[4 + i];
            found[0] = true;
            break;
        case 1: // counts of 0x88-0x8F, last sequence numbers of blocks 0-3
            for (std::size_t i = 0; i < 8; ++i)
                info.counts[8 + i] = t[i];
            for (std::size_t b = 0; b < 4; ++b)
                blocks[b].last_seq = t[8 + b];
            found[1] = true;
            break;
        case 2: // last sequence numbers of blocks 4-7, languages of blocks 0-7
            for (std::size_t b = 0; b < 4; ++b)
                blocks[4 + b].last_seq = t[b];
            info.language = t[4 + (pack.block & 7)];
            found[2] = true;
            break;
        default:
            break;
        }
    }
    return (found[0] && found[1] && found[2]) ? 0 : 1;
}

void parse_cdtext(std::FILE *in)
{
    if (in == nullptr) {
        log_plain("parse_cdtext: error: no file given\n");
        return;
    }
    latin1_init();
    cdtext_block_info_t blocks[CDTEXT_BLOCKS];
    scan_and_rewind(in, blocks);

    int block = -1;
    int type = 0xFF;
    int toc_last_track = 99;
    bool genre_code_shown = false;
    text_lister texts;

    cdtext_pack_t pack;
    while (cdtp_read(&pack, in) == 0) {
        if (pack.block != block) {
            block = pack.block;
            print_block_header(block, blocks[block]);
            type = 0xFF;
            texts.restart();
        }
        if (pack.type != type) {
            if (pack.type != CDTEXT_SIZE_INFO)
                std::printf("  %s\n", pack_type_to_str(&pack));
            texts.restart();
            type = pack.type;
        }
        switch (type) {
        case CDTEXT_TOC:
            if (pack.track == 0)
                toc_last_track = print_toc_head(pack);
            else
                print_toc_starts(pack, toc_last_track);
            break;
        case CDTEXT_TOC2:
        case CDTEXT_SIZE_INFO:
            break;
        case CDTEXT_GENRE:
            // Genre packs start with the genre code, high byte first; the text follows.
            if (!genre_code_shown) {
                const unsigned code = pack.text[0] * 256u + pack.text[1];
                std::printf("    Code  : %d = %s\n", static_cast<int>(code), genre_to_str(code));
                genre_code_shown = true;
            }
            texts.feed(pack, 2, blocks[block].charset);
            break;
        default:
            texts.feed(pack, 0, blocks[block].charset);
            break;
        }
    }
    latin1_done();
}

int cdtext_fill_pqlist(std::FILE *in, PQlist &pq)
{
    cdtext_block_info_t blocks[CDTEXT_BLOCKS];
    scan_and_rewind(in, blocks);

    int other_content = 0;
    int block = -1;
    int type = 0xFF;
    text_collector texts(BLOCK_TEXT_MAX, 1);
    text_collector double_texts(BLOCK_TEXT_MAX, 2);
    // Stops the transfer (false) at a text for a track the list does not have.
    const auto store = [&](int track, const std::string &text) {
        std::optional<std::string> *slot = pq_text_slot(pq, track, type);
        if (slot == nullptr)
            return false;
        *slot = text;
        return true;
    };

    cdtext_pack_t pack;
    while (cdtp_read(&pack, in) == 0) {
        if (pack.block != block) {
            // The list holds ISO 8859-1 (ASCII is part of it) or MS-JIS texts.
            const int charset = blocks[pack.block].charset;
            if (charset > 1 && charset != CDTEXT_CHARSET_MSJIS)
                return -1;
            // Block 0 is done; the other languages' blocks are not taken.
            if (pack.block > 0)
                return 1;
            pq.text_charset = static_cast<std::uint8_t>(charset == CDTEXT_CHARSET_MSJIS ? charset : 0);
            block = pack.block;
            type = 0xFF;
            texts.restart();
            double_texts.restart();
        }
        if (pack.type != type) {
            texts.restart();
            double_texts.restart();
            type = pack.type;
        }
        if (type == CDTEXT_SIZE_INFO)
            continue;
        if (type != CDTEXT_TITLE && type != CDTEXT_PERFORMER && type != CDTEXT_SONGWRITER) {
            other_content = 1;
            continue;
        }
        const bool fed = pq.text_charset == CDTEXT_CHARSET_MSJIS ? double_texts.feed(pack, 0, store)
                                                                 : texts.feed(pack, 0, store);
        if (!fed)
            return -1;
    }
    return other_content;
}

std::vector<cdtext_text> cdtext_texts(std::FILE *in)
{
    std::vector<cdtext_text> found;
    int block = -1;
    int type = 0xFF;
    text_collector texts(BLOCK_TEXT_MAX, 1);
    const auto keep = [&](int track, const std::string &text) {
        found.push_back({block, type, track, text});
        return true;
    };
    cdtext_pack_t pack;
    while (cdtp_read(&pack, in) == 0) {
        if (pack.block != block || pack.type != type) {
            texts.restart();
            block = pack.block;
            type = pack.type;
        }
        // Texts of titles to messages (0x80-0x85) and the codes of 0x8E run across packs alike.
        if ((type >= CDTEXT_TITLE && type <= CDTEXT_MESSAGE) || type == CDTEXT_UPC_ISRC)
            texts.feed(pack, 0, keep);
    }
    return found;
}

// ---- Dump ----

void cdtp_print(const cdtext_pack_t *pack)
{
    if (pack == nullptr) {
        std::printf("Pt E T# S# D B Cp  Text (hexadecimal)                    Text(Latin1)  CRC \n");
        std::printf("-----------------  ------------------------------------  ------------  ----\n");
        return;
    }
    std::printf("%02X %1d %02d %02X %1d %1d %2d  ", static_cast<unsigned>(pack->type), pack->ext, pack->track,
                static_cast<unsigned>(pack->seq), pack->dbcc, pack->block, pack->charpos);
    for (std::size_t i = 0; i < pack->text.size(); ++i) {
        std::printf("%02X ", static_cast<unsigned>(pack->text[i]));
        if (i == 5 || i == 11)
            std::printf(" ");
    }
    // Size information is binary: its text column stays dots.
    std::array<char, CDTEXT_PACK_TEXT + 1> column{};
    for (std::size_t i = 0; i < pack->text.size(); ++i) {
        const std::uint8_t byte = pack->text[i];
        const bool shown = pack->type != CDTEXT_SIZE_INFO && latin1_isprint(byte);
        column[i] = shown ? static_cast<char>(byte) : '.';
    }
    latin1_print(stdout, column.data());
    std::printf("  %04X %s\n", static_cast<unsigned>(pack->crc), pack->crc_ok ? "" : "!");
}

void cdt_dump(std::FILE *in)
{
    latin1_init();
    cdtp_print(nullptr);
    cdtext_pack_t pack;
    for (;;) {
        const int r = cdtp_read(&pack, in);
        if (r == -1)
            break;
        if (r == -2) {
            log_errno("");
            break;
        }
        cdtp_print(&pack);
    }
    latin1_done();
}
