#include "cdtext_writer.h"

#include <cassert>
#include <cstring>

#include "cdtext_msjis.h"
#include "cdtext_pack.h"

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
