#include "cdtext.h"

#include <cassert>
#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <limits>

#include "cdtext_msjis.h"
#include "pqlist.h"
#include "text_encoding.h"

// ---- Latin-1 output and code tables ----

int latin1_isprint(int c)
{
    // Latin-1 has two ranges of controls: C0 with DEL, and C1 at 0x80-0x9F.
    const int byte = c & 0xFF;
    return ((byte >= 0x20 && byte <= 0x7E) || byte >= 0xA0) ? 1 : 0;
}

void latin1_init() { std::setlocale(LC_ALL, ""); }

void latin1_done() {}

namespace {

/// True when the current locale has a multibyte form for the wide character.
/// The C locale is plain ASCII: it has none for a Latin-1 letter, and "%lc"
/// would then fail and leave the stream in a half-written state.
bool locale_can_show(wchar_t wc)
{
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    return std::wcrtomb(bytes, wc, &state) != static_cast<std::size_t>(-1);
}

} // namespace

void latin1_print(std::FILE *out, const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p != '\0'; ++p) {
        // Latin-1 is the first 256 code points of Unicode: each byte is its own wide character.
        const auto wc = static_cast<wchar_t>(*p);
        if (latin1_isprint(*p) && locale_can_show(wc))
            std::fprintf(out, "%lc", static_cast<std::wint_t>(wc));
        else
            std::fputs("?", out);
    }
}

void cdtext_print(std::FILE *out, const char *text, int charset)
{
    if (charset != CDTEXT_CHARSET_MSJIS) {
        latin1_print(out, text);
        return;
    }
    for (const char32_t c : utf8_code_points(msjis_to_utf8(text))) {
        const auto wc = static_cast<wchar_t>(c);
        if (c != 0xFFFD && locale_can_show(wc))
            std::fprintf(out, "%lc", static_cast<std::wint_t>(wc));
        else
            std::fputs("?", out);
    }
}

const char *charset_to_str(int code)
{
    switch (code) {
    case 0x00: return "ISO 8859-1 (Latin1)";
    case 0x01: return "ISO 646 (ASCII)";
    case 0x80: return "MS-JIS";
    case 0x81: return "Korean character code";
    case 0x82: return "Mandarin (standard) Chinese character code";
    default: return "illegal character set";
    }
}

const char *language_to_str(int code)
{
    switch (code) {
    case 0x00: return "not specified";
    case 0x06: return "Czech";
    case 0x07: return "Danish";
    case 0x08: return "German";
    case 0x09: return "English";
    case 0x0A: return "Spanish";
    case 0x0F: return "French";
    case 0x15: return "Italian";
    case 0x1B: return "Hungarian";
    case 0x1D: return "Dutch";
    case 0x1E: return "Norwegian";
    case 0x20: return "Polish";
    case 0x21: return "Portuguese";
    case 0x26: return "Slovene";
    case 0x27: return "Finnish";
    case 0x28: return "Swedish";
    case 0x56: return "Russian";
    case 0x65: return "Korean";
    case 0x69: return "Japanese";
    case 0x70: return "Greek";
    case 0x75: return "Chinese";
    default: return "not recognized";
    }
}

const char *genre_to_str(unsigned int code)
{
    // The genre codes a CD-Text genre pack carries in its first two bytes.
    static constexpr std::array<const char *, 28> names{
        "Not Used", "Not Defined", "Adult Contemporary", "Alternative Rock",
        "Childrens' Music", "Classical", "Contemporary Christian", "Country",
        "Dance", "Easy Listening", "Erotic", "Folk",
        "Gospel", "Hip Hop", "Jazz", "Latin",
        "Musical", "New Age", "Opera", "Operetta",
        "Pop Music", "Rap", "Reggae", "Rock Music",
        "Rhythm & Blues", "Sound Effects", "Spoken Word", "World Music",
    };
    return code < names.size() ? names[code] : "Unknown ";
}

const char *pack_type_to_str(const cdtext_pack_t *pack)
{
    switch (pack->type) {
    case CDTEXT_TITLE: return "Title";
    case CDTEXT_PERFORMER: return "Performer";
    case CDTEXT_SONGWRITER: return "Songwriter";
    case CDTEXT_COMPOSER: return "Composer";
    case CDTEXT_ARRANGER: return "Arranger";
    case CDTEXT_MESSAGE: return "Message";
    case CDTEXT_DISC_ID: return "Disc ID";
    case CDTEXT_GENRE: return "Genre";
    case CDTEXT_TOC: return "TOC";
    case CDTEXT_TOC2: return "TOC2";
    case 0x8A: return "Reserved1";
    case 0x8B: return "Reserved2";
    case 0x8C: return "Reserved3";
    case CDTEXT_CLOSED: return "Closed info";
    case CDTEXT_UPC_ISRC: return pack->track != 0 ? "ISRC" : "UPC/EAN";
    case CDTEXT_SIZE_INFO: return "Size";
    default: return "unknown pack type";
    }
}

// ---- Packs ----

namespace {

// Byte layout of a pack: type, extension flag and track, sequence number,
// DBCC flag with block number and character position, 12 text bytes, and
// the CRC of the first 16 bytes, high byte first.
constexpr int PACK_TYPE = 0;
constexpr int PACK_TRACK = 1;
constexpr int PACK_SEQ = 2;
constexpr int PACK_POSITION = 3;
constexpr int PACK_TEXT = 4;
constexpr int PACK_CRC = 16;

/// The CRC register after shifting each byte value, placed in the high byte, through eight steps.
const std::array<std::uint16_t, 256> &crc_table()
{
    static const std::array<std::uint16_t, 256> table = [] {
        std::array<std::uint16_t, 256> t{};
        for (unsigned i = 0; i < t.size(); ++i) {
            unsigned reg = i << 8;
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 0x8000) != 0 ? (reg << 1) ^ 0x1021 : reg << 1;
            t[i] = static_cast<std::uint16_t>(reg);
        }
        return t;
    }();
    return table;
}

} // namespace

std::uint16_t crc_ccitt(const std::uint8_t *data, long len)
{
    const auto &table = crc_table();
    unsigned reg = 0;
    for (long i = 0; i < len; ++i)
        reg = ((reg << 8) & 0xFFFF) ^ table[((reg >> 8) ^ data[i]) & 0xFF];
    // CD-Text stores the CRC inverted.
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

void cdtp_clear(cdtext_pack_t *pack) { *pack = cdtext_pack_t{}; }

void cdtp_encode(const cdtext_pack_t *pack, std::uint8_t *out, std::uint32_t *seq)
{
    out[PACK_TYPE] = static_cast<std::uint8_t>(pack->type);
    out[PACK_TRACK] = static_cast<std::uint8_t>(((pack->ext & 1) << 7) | (pack->track & 0x7F));
    out[PACK_SEQ] = static_cast<std::uint8_t>(*seq);
    out[PACK_POSITION] =
        static_cast<std::uint8_t>(((pack->dbcc & 1) << 7) | ((pack->block & 7) << 4) | (pack->charpos & 0x0F));
    std::memcpy(out + PACK_TEXT, pack->text.data(), CDTEXT_PACK_TEXT);
    const std::uint16_t crc = crc_ccitt(out, PACK_CRC);
    out[PACK_CRC] = static_cast<std::uint8_t>(crc >> 8);
    out[PACK_CRC + 1] = static_cast<std::uint8_t>(crc);
    ++*seq;
}

void cdtp_decode(cdtext_pack_t *pack, const std::uint8_t *in)
{
    pack->type = in[PACK_TYPE];
    pack->ext = static_cast<std::uint8_t>(in[PACK_TRACK] >> 7);
    pack->track = static_cast<std::uint8_t>(in[PACK_TRACK] & 0x7F);
    pack->seq = in[PACK_SEQ];
    pack->dbcc = static_cast<std::uint8_t>(in[PACK_POSITION] >> 7);
    pack->block = static_cast<std::uint8_t>((in[PACK_POSITION] >> 4) & 7);
    pack->charpos = static_cast<std::uint8_t>(in[PACK_POSITION] & 0x0F);
    std::memcpy(pack->text.data(), in + PACK_TEXT, CDTEXT_PACK_TEXT);
    pack->crc = static_cast<std::uint16_t>(in[PACK_CRC] * 256 + in[PACK_CRC + 1]);
    pack->crc_ok = pack->crc == crc_ccitt(in, PACK_CRC) ? 1 : 0;
}

void cdtp_write(const cdtext_pack_t *pack, std::FILE *out, std::uint32_t *seq)
{
    std::array<std::uint8_t, CDTEXT_PACK_SIZE> bytes{};
    cdtp_encode(pack, bytes.data(), seq);
    // A failed write is not reported here: the caller checks the file's size and its close.
    const std::size_t items = std::fwrite(bytes.data(), bytes.size(), 1, out);
    static_cast<void>(items);
}

int cdtp_read(cdtext_pack_t *pack, std::FILE *in)
{
    std::array<std::uint8_t, CDTEXT_PACK_SIZE> bytes{};
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
    if (got == bytes.size()) {
        cdtp_decode(pack, bytes.data());
        return 0;
    }
    // Some tools end a CD-Text file with one 0x00 byte after the last pack.
    if (got == 0 || (got == 1 && bytes[0] == 0))
        return -1;
    return -2;
}

// ---- Writer ----

namespace {

void count_pack(cdtext_writer_t *w, int type)
{
    const int slot = type - CDTEXT_TITLE;
    if (slot >= 0 && slot < static_cast<int>(w->counts.size()))
        ++w->counts[static_cast<std::size_t>(slot)];
}

/// Writes a pack, or only counts it when the writer has no stream.
void emit_pack(cdtext_writer_t *w)
{
    if (w->out != nullptr)
        cdtp_write(&w->pack, w->out, &w->seq);
    else
        ++w->seq;
}

/// Writes the pack in progress, counts it under its type and starts an empty one.
void flush_pack(cdtext_writer_t *w)
{
    // The text bytes after `fill` are still zero from the clear.
    emit_pack(w);
    count_pack(w, w->pack.type);
    cdtp_clear(&w->pack);
    w->fill = 0;
}

/// A pack belongs to the text of its first byte: that is fixed by the first NUL
/// placed in it, or by the pack filling up without one.
void claim_pack(cdtext_writer_t *w, int track, unsigned int type)
{
    if (w->pack.type != 0xFF)
        return;
    w->pack.type = static_cast<int>(type);
    w->pack.track = static_cast<std::uint8_t>(track);
}

/// Writes one size-information pack (type 0x8F, track field = its index) without counting it.
void write_size_pack(cdtext_writer_t *w, int index, const std::array<std::uint8_t, CDTEXT_PACK_TEXT> &text)
{
    cdtp_clear(&w->pack);
    w->pack.type = CDTEXT_SIZE_INFO;
    w->pack.track = static_cast<std::uint8_t>(index);
    w->pack.charpos = 0;
    w->pack.text = text;
    emit_pack(w);
    cdtp_clear(&w->pack);
}

/// Puts one byte of a text into the pack in progress; `chars` counts the text's characters
/// before it, which a new pack gives as its character position (4 bits, so 15 at most).
void put_byte(cdtext_writer_t *w, int track, unsigned int type, std::uint8_t byte, std::size_t chars)
{
    if (w->fill == 0) {
        w->pack.charpos = static_cast<std::uint8_t>(chars < 15 ? chars : 15);
        w->pack.dbcc = w->charset == CDTEXT_CHARSET_MSJIS ? 1 : 0;
    }
    w->pack.text[static_cast<std::size_t>(w->fill)] = byte;
    ++w->fill;
    if (byte == 0)
        claim_pack(w, track, type);
    if (w->fill == CDTEXT_PACK_TEXT) {
        claim_pack(w, track, type);
        flush_pack(w);
    }
}

/// A text of a double-byte block (MS-JIS). Readers take such a block's bytes in pairs,
/// and a pair of 0 bytes ends a text: the end is padded with a 0 byte to a pair boundary
/// when the text has an odd number of bytes. A two-byte character is never split across
/// packs: where it would start at a pack's last byte, a 0 byte fills that byte. No text is
/// written as the repeat mark (two TABs): each is written in full.
void put_double_byte_text(cdtext_writer_t *w, int track, unsigned int type, const char *text)
{
    std::size_t chars = 0;
    for (const char *p = text; *p != '\0'; ++chars) {
        const auto byte = static_cast<std::uint8_t>(*p);
        const bool two = msjis_is_lead_byte(byte) && p[1] != '\0';
        if (two && w->fill == CDTEXT_PACK_TEXT - 1)
            put_byte(w, track, type, 0, chars);
        put_byte(w, track, type, byte, chars);
        if (two)
            put_byte(w, track, type, static_cast<std::uint8_t>(*++p), chars);
        ++p;
    }
    if (w->fill % 2 != 0)
        put_byte(w, track, type, 0, chars);
    put_byte(w, track, type, 0, chars);
    put_byte(w, track, type, 0, chars);
}

} // namespace

std::unique_ptr<cdtext_writer_t> cdtw_open(std::FILE *out)
{
    // new throws rather than returning null, so this cannot fail quietly.
    auto w = std::make_unique<cdtext_writer_t>();
    w->out = out;
    cdtp_clear(&w->pack);
    return w;
}

void cdtw_set_language(cdtext_writer_t *w, int language) { w->language = language; }

void cdtw_set_charset(cdtext_writer_t *w, int charset) { w->charset = charset; }

void cdtw_put(cdtext_writer_t *w, int track, unsigned int type, const char *text)
{
    assert(type >= CDTEXT_TITLE && type <= CDTEXT_SIZE_INFO);
    if (text == nullptr)
        text = "";
    if (track > w->last_track)
        w->last_track = track;
    // Every pack type starts in a fresh pack.
    if (w->fill > 0 && w->pack.type != static_cast<int>(type))
        flush_pack(w);

    if (w->charset == CDTEXT_CHARSET_MSJIS) {
        put_double_byte_text(w, track, type, text);
        return;
    }
    const std::size_t len = std::strlen(text);
    for (std::size_t i = 0; i <= len; ++i) // i == len is the terminating NUL
        put_byte(w, track, type, static_cast<std::uint8_t>(text[i]), i);
}

void cdtw_close(cdtext_writer_t *w)
{
    // Size information needs a track range; with disc texts alone nothing is written.
    if (w->last_track == 0)
        return;
    if (w->fill > 0)
        flush_pack(w);

    // The three size-information packs count themselves under type 0x8F.
    w->counts[CDTEXT_SIZE_INFO - CDTEXT_TITLE] = 3;

    // Size pack 0: character code, first and last track, flags, pack counts of 0x80-0x87.
    std::array<std::uint8_t, CDTEXT_PACK_TEXT> text{};
    text[0] = static_cast<std::uint8_t>(w->charset);
    text[1] = 1;
    text[2] = static_cast<std::uint8_t>(w->last_track);
    text[3] = 0;
    for (std::size_t i = 0; i < 8; ++i)
        text[4 + i] = static_cast<std::uint8_t>(w->counts[i]);
    write_size_pack(w, 0, text);

    // Size pack 1: pack counts of 0x88-0x8F, then the last sequence number of block 0,
    // which is the one the third size pack is about to take.
    text.fill(0);
    for (std::size_t i = 0; i < 8; ++i)
        text[i] = static_cast<std::uint8_t>(w->counts[8 + i]);
    text[8] = static_cast<std::uint8_t>(w->seq + 1);
    write_size_pack(w, 1, text);

    // Size pack 2: last sequence numbers of blocks 4-7 (none here), languages of blocks 0-7.
    text.fill(0);
    text[4] = static_cast<std::uint8_t>(w->language);
    write_size_pack(w, 2, text);
}

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
class text_collector {
public:
    /// `capacity` counts the NUL: a longer run of bytes is cut to capacity - 1 bytes.
    explicit text_collector(std::size_t capacity) : limit_(capacity - 1) { text_.reserve(limit_); }

    /// A new pack type starts: no text in progress, and the track count starts over.
    void restart()
    {
        text_.clear();
        previous_.clear();
        track_ = -1;
    }

    /// Takes the pack's text bytes from `from` on and calls `done(track, text)` for every
    /// non-empty text that ends; stops early and returns false when `done` does.
    template <typename Done> bool feed(const cdtext_pack_t &pack, std::size_t from, Done &&done)
    {
        for (std::size_t i = from; i < pack.text.size(); ++i) {
            const std::uint8_t byte = pack.text[i];
            if (byte != 0) {
                if (text_.size() < limit_) // a damaged file: keep the head, drop the rest
                    text_.push_back(static_cast<char>(byte));
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
    /// A text of one TAB (0x09) is CD-Text's mark for "the same as the previous track":
    /// authoring tools write it for a performer that repeats.
    void resolve_repeat_mark()
    {
        if (text_ == "\t")
            text_ = previous_;
        previous_ = text_;
    }

    void advance_track(int pack_track)
    {
        if (pack_track > track_)
            track_ = pack_track;
        else if (track_ < std::numeric_limits<int>::max()) // a file of nothing but NULs cannot overflow it
            ++track_;
    }

    std::size_t limit_;
    std::string text_;
    std::string previous_; ///< the last text that ended, for the repeat mark
    int track_ = -1;
};

/// The texts of a double-byte block (MS-JIS), which run in pairs of bytes: a pair of 0 bytes
/// ends a text, a 0 byte in any other pair only fills (before a pack's end, or to end a text
/// on a pair), and a text of two TABs is the previous track's text again. Tracks are told as
/// for single-byte texts.
class double_byte_collector {
public:
    /// `capacity` counts the two NULs: a longer run of bytes is cut to capacity - 2 bytes.
    explicit double_byte_collector(std::size_t capacity) : limit_(capacity - 2) {}

    void restart()
    {
        text_.clear();
        previous_.clear();
        track_ = -1;
    }

    /// As text_collector::feed; `from` is even, so that the pairs stay pairs.
    template <typename Done> bool feed(const cdtext_pack_t &pack, std::size_t from, Done &&done)
    {
        for (std::size_t i = from; i + 1 < pack.text.size(); i += 2) {
            const std::uint8_t pair[2] = {pack.text[i], pack.text[i + 1]};
            if (pair[0] != 0 || pair[1] != 0) {
                for (const std::uint8_t byte : pair)
                    if (byte != 0 && text_.size() < limit_)
                        text_.push_back(static_cast<char>(byte));
                continue;
            }
            track_ = pack.track > track_ ? pack.track : track_ + (track_ < 0xFFFF ? 1 : 0);
            if (text_ == "\t\t")
                text_ = previous_;
            previous_ = text_;
            if (text_.empty())
                continue;
            const bool go_on = done(track_, text_);
            text_.clear();
            if (!go_on)
                return false;
        }
        return true;
    }

private:
    std::size_t limit_;
    std::string text_;
    std::string previous_;
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
    text_collector single_{LISTING_TEXT_MAX};
    double_byte_collector double_{LISTING_TEXT_MAX};
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
        std::fputs("parse_cdtext: error: no file given\n", stderr);
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
    text_collector texts(BLOCK_TEXT_MAX);
    double_byte_collector double_texts(BLOCK_TEXT_MAX);
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
    text_collector texts(BLOCK_TEXT_MAX);
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
            std::perror("");
            break;
        }
        cdtp_print(&pack);
    }
    latin1_done();
}

// ---- Block model ----

namespace {

cdtext_track_t *find_track(const cdtext_block_t *block, std::uint8_t number)
{
    for (cdtext_track_t *t = block->tracks.get(); t != nullptr; t = t->next.get())
        if (t->number == number)
            return t;
    return nullptr;
}

/// The block's field for track 0, else that track's field; null when the block has no such track.
/// Const-ness follows the block's.
template <typename Block> auto field_slot(Block *block, std::uint8_t track, int field) -> decltype(&block->fields[0])
{
    const auto index = static_cast<std::size_t>(field);
    if (track == 0)
        return &block->fields[index];
    cdtext_track_t *t = find_track(block, track);
    return t != nullptr ? &t->fields[index] : nullptr;
}

bool valid_field(int field) { return field >= 0 && field < 8; }

} // namespace

cdtext_block_t *cdtb_new(cdtext_block_t *chain)
{
    if (chain == nullptr)
        return nullptr;
    while (chain->next)
        chain = chain->next.get();
    chain->next = std::make_unique<cdtext_block_t>();
    return chain->next.get();
}

std::unique_ptr<cdtext_block_t> cdtb_new() { return std::make_unique<cdtext_block_t>(); }

void cdtb_delete(std::unique_ptr<cdtext_block_t> block)
{
    // Unlink block by block rather than through nested destructors.
    while (block)
        block = std::move(block->next);
}

int cdtb_create_tracks(cdtext_block_t *block, std::uint8_t first, std::uint8_t last)
{
    std::unique_ptr<cdtext_track_t> list;
    // Built from the last number down, so that the list ends up ascending.
    for (int n = last; n >= first; --n) {
        auto t = std::make_unique<cdtext_track_t>();
        t->number = static_cast<std::uint8_t>(n);
        t->next = std::move(list);
        list = std::move(t);
    }
    block->tracks = std::move(list);
    return 0;
}

const char *cdtb_get_field(const cdtext_block_t *block, std::uint8_t track, int field)
{
    if (!valid_field(field))
        return nullptr;
    const std::optional<std::string> *slot = field_slot(block, track, field);
    return (slot != nullptr && *slot) ? (*slot)->c_str() : nullptr;
}

int cdtb_set_field(cdtext_block_t *block, std::uint8_t track, int field, const char *text)
{
    if (!valid_field(field))
        return 1;
    std::optional<std::string> *slot = field_slot(block, track, field);
    if (slot == nullptr)
        return 1;
    if (text != nullptr)
        *slot = text;
    else
        slot->reset();
    return 0;
}

void cdtb_set_language(cdtext_block_t *block, std::uint8_t language) { block->language = language; }

std::uint8_t cdtb_get_language(const cdtext_block_t *block) { return block->language; }

const char *cdtb_get_language_name(const cdtext_block_t *block) { return language_to_str(block->language); }

void cdtb_set_charset(cdtext_block_t *block, std::uint8_t charset) { block->charset = charset; }

std::uint8_t cdtb_get_charset(const cdtext_block_t *block) { return block->charset; }

const char *cdtb_get_charset_name(const cdtext_block_t *block) { return charset_to_str(block->charset); }

void cdtb_set_genre_code(cdtext_block_t *block, std::uint16_t code) { block->genre_code = code; }
