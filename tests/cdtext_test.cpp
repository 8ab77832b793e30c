#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "cdtext.h"
#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "cdtext_reader.h"
#include "pq_cdtext.h"
#include "pqlist.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

using namespace std::string_literals; // "...\0..."s keeps the NULs inside

// CRC-16/GSM bit by bit, kept apart from the table-driven one under test.
std::uint16_t bitwise_crc(const std::string &bytes)
{
    unsigned reg = 0;
    for (unsigned char byte : bytes) {
        reg ^= static_cast<unsigned>(byte) << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = ((reg & 0x8000) != 0 ? (reg << 1) ^ 0x1021 : reg << 1) & 0xFFFF;
    }
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

// An 18-byte pack: four header bytes, the text padded with zeros to 12 bytes, the CRC.
std::string pack(int type, int track, int seq, int position, const std::string &text)
{
    std::string p = std::string{char(type), char(track), char(seq), char(position)} + text;
    p.resize(16, '\0');
    const std::uint16_t crc = bitwise_crc(p);
    return p + char(crc >> 8) + char(crc & 0xFF);
}

// A stream that reads `content`, which must outlive it.
file_ptr stream_of(const std::string &content)
{
    return file_ptr(fmemopen(const_cast<char *>(content.data()), content.size(), "r"));
}

// What pq_write_cdtext writes into `path`, when it returns `result`.
std::string written_cdtext(const PQlist &pq, const std::string &path, int result = 0)
{
    file_ptr f = tolk_fopen(path.c_str(), "wb");
    EXPECT_EQ(pq_write_cdtext(pq, f.get()), result);
    EXPECT_TRUE(close_checked(f));
    return test::read_file(path);
}

// A list from rows of {title, performer, songwriter}: the disc's, then one per track; null for none.
std::unique_ptr<PQlist> list_of(std::vector<std::array<const char *, 3>> rows)
{
    auto pq = pq_new();
    const auto set = [](auto &item, const std::array<const char *, 3> &t) {
        for (auto [text, field] : {std::pair(t[0], &item.title), {t[1], &item.performer}, {t[2], &item.songwriter}})
            *field = text != nullptr ? std::optional<std::string>(text) : std::nullopt;
    };
    set(*pq, rows.at(0));
    for (std::size_t i = 1; i < rows.size(); ++i)
        set(*new_track(*pq), rows[i]);
    return pq;
}

// The worked example: disc "Album Title" (11 bytes: its NUL closes the first pack) with tracks
// "First song" and "Second"; the performer "Band" on the disc and on track 2, none on track 1.
const std::string example_packs = pack(0x80, 0, 0, 0, "Album Title\0"s) + pack(0x80, 1, 1, 0, "First song\0S"s) +
                                  pack(0x80, 2, 2, 1, "econd\0"s) + pack(0x81, 0, 3, 0, "Band\0\0Band\0"s) +
                                  pack(0x8F, 0, 4, 0, "\0\1\2\0\3\1"s) + pack(0x8F, 1, 5, 0, "\0\0\0\0\0\0\0\3\6"s) +
                                  pack(0x8F, 2, 6, 0, "\0\0\0\0\11"s);

// MS-JIS (Shift-JIS bytes, made with Python's cp932 codec): the disc "A日本", track 1 "xyzの",
// track 2 "B". Read in pairs of bytes, each text ends in a pair of NULs (after a NUL to fill an
// odd length), and の, which would start at the first pack's last byte, starts the next pack
// behind a filling NUL; the packs carry the double-byte bit, the size information code 0x80
// and Japanese (0x69).
const std::string jis_disc = "A\x93\xFA\x96\x7B", jis_one = "xyz\x82\xCC";
const std::string jis_texts = pack(0x80, 0, 0, 0x80, "A\x93\xFA\x96\x7B\0\0\0xyz\0"s);
const std::string jis_tail = pack(0x8F, 0, 2, 0, "\x80\1\2\0\2"s) + pack(0x8F, 1, 3, 0, "\0\0\0\0\0\0\0\3\4"s) +
                             pack(0x8F, 2, 4, 0, "\0\0\0\0\x69"s);
const std::string jis_packs = jis_texts + pack(0x80, 1, 1, 0x83, "\x82\xCC\0\0B\0\0\0"s) + jis_tail;

TEST(Packs, CrcAgainstTheCheckValueAndABitwiseComputationAndEveryByteOfAPack)
{
    // 0xCE3C is the check value of CRC-16/GSM in the catalogue of parametrised CRC algorithms.
    const std::string check = "123456789", data = test::generated_bytes(300, 11);
    EXPECT_EQ(crc_ccitt(reinterpret_cast<const std::uint8_t *>(check.data()), 9), 0xCE3C);
    EXPECT_EQ(bitwise_crc(check), 0xCE3C);
    EXPECT_EQ(crc_ccitt(reinterpret_cast<const std::uint8_t *>(data.data()), 300), bitwise_crc(data));
    // The CRC covers every byte of a pack, high byte first.
    std::string p = pack(0x87, 0xE3, 0xAB, 0xDD, "\0\5Baroque op"s);
    for (std::size_t i = 0; i < 18; ++i) {
        cdtext_pack_t d;
        cdtp_decode(&d, reinterpret_cast<const std::uint8_t *>(p.data()));
        EXPECT_EQ(d.crc_ok, 1);
        p[i] ^= 0x10;
        cdtp_decode(&d, reinterpret_cast<const std::uint8_t *>(p.data()));
        p[i] ^= 0x10;
        EXPECT_EQ(d.crc_ok, 0) << "byte " << i;
    }
}

TEST(Writer, WorkedExampleAndTheEdgesOfABlock)
{
    // Texts filling and spanning packs against python's encoder: tests/e2e_cuesheets.py.
    const std::string d(1500, 'D'), t(1534, 'T');
    const struct { std::unique_ptr<PQlist> pq; int count, result; std::string bytes; std::size_t from = 0; } rows[] = {
        {list_of({{"Album Title", "Band"}, {"First song"}, {"Second", "Band"}}), 7, 0, example_packs},
        {list_of({{jis_disc.c_str()}, {jis_one.c_str()}, {"B"}}), 5, 0, jis_packs},
        // Without a track there is no size information: only the full packs go out.
        {list_of({{"Album Title", "Band"}}), 1, 0, pack(0x80, 0, 0, 0, "Album Title\0"s)},
        {list_of({{}, {}}), 0, -1, ""}, // no text at all
        {list_of({{"Album"}, {}, {}}), 4, 0, // empty track texts still take their NUL
         pack(0x80, 0, 0, 0, "Album\0\0\0"s) + pack(0x8F, 0, 1, 0, "\0\1\2\0\1"s) +
             pack(0x8F, 1, 2, 0, "\0\0\0\0\0\0\0\3\3"s) + pack(0x8F, 2, 3, 0, "\0\0\0\0\11"s)},
        {list_of({{d.c_str()}, {t.c_str()}}), 256, 0, // 253 text packs, the last four packs checked
         pack(0x80, 1, 252, 15, std::string(11, 'T') + '\0') + pack(0x8F, 0, 253, 0, "\0\1\1\0\375"s) +
             pack(0x8F, 1, 254, 0, "\0\0\0\0\0\0\0\3\377"s) + pack(0x8F, 2, 255, 0, "\0\0\0\0\11"s), 252 * 18},
        // One byte more, or a performer (each kind starts a fresh pack), is refused with nothing written.
        {list_of({{d.c_str()}, {(t + 'T').c_str()}}), 257, -2, ""},
        {list_of({{d.c_str()}, {t.c_str(), "P"}}), 257, -2, ""},
    };
    rows[1].pq->text_charset = 0x80;
    test::TempDir dir;
    for (const auto &row : rows) {
        EXPECT_EQ(pq_cdtext_pack_count(*row.pq), row.count);
        const std::string out = written_cdtext(*row.pq, dir.file("CDTEXT.BIN"), row.result);
        EXPECT_EQ(out.substr(std::min(row.from, out.size())), row.bytes) << row.count;
    }
}

TEST(Reader, ListingsAndTransfersOfDamagedAndForeignPacks)
{
    std::string letters, overlong; // 260 packs of letters without a NUL (more than a block holds), then an end
    for (int i = 0; i < 260; ++i)
        overlong += pack(0x80, 0, i, std::min(i, 15), letters.append(12, char('A' + i % 26)).substr(12 * i));
    overlong += pack(0x80, 0, 4, 15, "end\0"s);
    // A title run that lost its NUL, then a performer: the title must not be glued to "Band".
    const std::string lost_nul = pack(0x80, 0, 0, 0, "Lost title b") + pack(0x81, 0, 1, 0, "Band\0"s);
    const std::string no_size = "Block 0:\n  Language     : not specified\n"
                                "  Character set: ISO 8859-1 (Latin1)\n  Tracks       : 0-0\n";
    const std::string titles = "  Title\n    Disk  : Album Title\n    Trk 01: First song\n    Trk 02: Second\n";
    const std::string zoe = pack(0x82, 1, 0, 0, "Zo\xEB\t\x7F\x85!\0"s);
    const std::string genre_toc = pack(0x87, 0, 0, 0, "\0\5Baroque"s) + pack(0x88, 0, 1, 0, "\1\2\0\50\2\3"s) +
                                  pack(0x88, 1, 2, 0, "\0\2\0\3\12\112"s);
    const std::pair<std::string, std::string> rows[] = {
        {genre_toc, no_size + "  Genre\n    Code  : 5 = Classical\n    Detail: Baroque\n"
                              "  TOC\n    Tracks: 1 - 2, Lead-out at: 40:02:03\n    Track 01: 00:02:00\n    Track 02: 03:10:74\n"},
        // Controls, and letters the C locale cannot show, become question marks (the letters in a UTF-8
        // locale: the golden cases parse-cdtext-latin1-*).
        {zoe, no_size + "  Songwriter\n    Trk 01: Zo???" "?!\n"},
        {example_packs.substr(0, 64), no_size + titles}, // cut off in the fourth pack: silence
        {overlong, no_size + "  Title\n    Disk  : " + letters.substr(0, 159) + "\n"},
        {lost_nul, no_size + "  Title\n  Performer\n    Disk  : Band\n"},
        // Size information alone, for tracks 1 to 2 in Slovene (language code 0x26): a header and nothing else.
        {example_packs.substr(4 * 18, 2 * 18) + pack(0x8F, 2, 6, 0, "\0\0\0\0\x26"s),
         "Block 0:\n  Language     : Slovene\n  Character set: ISO 8859-1 (Latin1)\n  Tracks       : 1-2\n"},
    };
    // latin1_init takes the locale from LC_ALL; both come back afterwards (an empty LC_ALL counts as unset).
    const std::string saved = std::setlocale(LC_ALL, nullptr), env = getenv("LC_ALL") ? getenv("LC_ALL") : "";
    setenv("LC_ALL", "C", 1);
    for (const auto &[file, listing] : rows) {
        const auto o = test::capture([&] { parse_cdtext(stream_of(file).get()); });
        EXPECT_EQ(o.out + o.err, listing);
    }
    // The pack dump (--check -v 3) shows each header field: extension flag, track, sequence number,
    // double-byte flag, block and character position, then the text bytes and the CRC.
    const std::string flagged = pack(0x80, 0x81, 0x2A, 0xA3, "Tokyo");
    std::array<char, 5> crc{};
    std::snprintf(crc.data(), crc.size(), "%02X%02X", unsigned(flagged[16] & 0xFF), unsigned(flagged[17] & 0xFF));
    const std::string dump = test::capture([&] { cdt_dump(stream_of(flagged).get()); }).out;
    EXPECT_TRUE(dump.ends_with("\n80 1 01 2A 1 2  3  54 6F 6B 79 6F 00  00 00 00 00 00 00  Tokyo.......  "s +
                               crc.data() + " \n")) << dump;
    setenv("LC_ALL", env.c_str(), 1);
    std::setlocale(LC_ALL, saved.c_str());
    using Texts = std::vector<std::optional<std::string>>;
    // Fills a list whose texts are all "Old"; gives the disc's and the tracks' titles and performers.
    const auto fill = [](const std::string &file, int tracks, int result, int charset = 0) {
        auto pq = list_of(std::vector<std::array<const char *, 3>>(tracks + 1, {"Old", "Old"}));
        EXPECT_EQ(cdtext_fill_pqlist(stream_of(file).get(), *pq), result);
        EXPECT_EQ(pq->text_charset, charset);
        Texts v{pq->title, pq->performer};
        for (const PQtrack *t = pq->tracks.get(); t != nullptr; t = t->next.get())
            v.insert(v.end(), {t->title, t->performer});
        return v;
    };
    EXPECT_EQ(fill(example_packs, 2, 0), (Texts{"Album Title", "Band", "First song", "Old", "Second", "Band"}));
    EXPECT_EQ(fill(example_packs, 1, -1), (Texts{"Album Title", "Old", "First song", "Old"})); // no track 2
    const std::string korean = // the Korean character code in the size information: nothing is stored
        example_packs.substr(0, 4 * 18) + pack(0x8F, 0, 4, 0, "\201\1\2\0\3\1"s) + example_packs.substr(5 * 18);
    EXPECT_EQ(fill(korean, 2, -1), (Texts{"Old", "Old", "Old", "Old", "Old", "Old"}));
    // MS-JIS: the texts by pairs, the filling NULs left out; two TABs repeat the previous track's text.
    EXPECT_EQ(fill(jis_packs, 2, 0, 0x80), (Texts{jis_disc, "Old", jis_one, "Old", "B", "Old"}));
    const std::string repeat = jis_texts + pack(0x80, 1, 1, 0x83, "\x82\xCC\0\0\t\t\0\0"s) + jis_tail;
    EXPECT_EQ(fill(repeat, 2, 0, 0x80), (Texts{jis_disc, "Old", jis_one, "Old", jis_one, "Old"}));
    // A composer is left out, and said so, after the titles are stored; a second block ends the transfer.
    const std::string composer = example_packs.substr(0, 3 * 18) + pack(0x83, 0, 3, 0, "Bach\0"s);
    EXPECT_EQ(fill(composer, 2, 1), (Texts{"Album Title", "Old", "First song", "Old", "Second", "Old"}));
    EXPECT_EQ(fill(pack(0x80, 0, 0, 0, "One\0"s) + pack(0x80, 0, 1, 0x10, "Zwei"), 0, 1), (Texts{"One", "Old"}));
    EXPECT_EQ(fill(lost_nul, 0, 0), (Texts{"Old", "Band"}));
    EXPECT_EQ(fill(overlong, 0, 0), (Texts{letters.substr(0, 3035), "Old"})); // a block's text buffer, NUL kept
}

} // namespace

namespace {

TEST(MsJis, OnlyJapaneseTextsThatShiftJisHoldsGoIntoMsJis)
{
    const std::pair<std::vector<std::string>, bool> rows[] = {
        {{"\u65E5\u672C", "Live", "\u30BD\u30F3\u30B0 \u266A", "\u201CQ\u201D"}, true}, // kanji, kana, JIS symbols
        {{"Live", "Best"}, false},                            // nothing Japanese in them
        {{"\u65E5\u672C", "\u041F\u0440\u0438"}, false},      // Cyrillic, which JIS holds but is no Japanese text
        {{"\u65E5\u672C", "Caf\u00E9"}, false},               // Shift-JIS has no e acute
        {{"\u65E5\u672C", "\uD55C\uAD6D"}, false},            // Hangul
        {{"\u65E5\u672C \u00A5100"}, false},                  // the yen sign would come back as a backslash
    };
    for (const auto &[texts, suits] : rows)
        EXPECT_EQ(msjis_suits(texts), suits) << texts.back();
}

} // namespace
