#include "cdtext.h"

#include <clocale>
#include <cwchar>

#include "cdtext_msjis.h"
#include "cdtext_pack.h"
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
