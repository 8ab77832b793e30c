#include "cdtext.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

#include "pqlist.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

// CRC-16/GSM bit by bit, kept apart from the table-driven one under test.
std::uint16_t bitwise_crc(const std::string &bytes)
{
    unsigned reg = 0;
    for (unsigned char byte : bytes) {
        reg ^= static_cast<unsigned>(byte) << 8;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000) != 0 ? ((reg << 1) ^ 0x1021) & 0xFFFF : (reg << 1) & 0xFFFF;
    }
    return static_cast<std::uint16_t>(reg ^ 0xFFFF);
}

// An 18-byte pack: four header bytes, the text padded with zeros to 12 bytes, the CRC.
std::string pack(int type, int track, int seq, int position, const std::string &text)
{
    std::string p{static_cast<char>(type), static_cast<char>(track), static_cast<char>(seq),
                  static_cast<char>(position)};
    p += text + std::string(12 - text.size(), '\0');
    const std::uint16_t crc = bitwise_crc(p);
    return p + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF);
}

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

// A stream that holds `content`, positioned at its start.
file_ptr stream_of(const std::string &content)
{
    file_ptr f(std::tmpfile());
    std::fwrite(content.data(), 1, content.size(), f.get());
    std::rewind(f.get());
    return f;
}

// What `fn` writes into a stream.
template <typename Fn> std::string written(Fn &&fn)
{
    file_ptr f(std::tmpfile());
    fn(f.get());
    std::fflush(f.get());
    std::string out(static_cast<std::size_t>(std::ftell(f.get())), '\0');
    std::rewind(f.get());
    EXPECT_EQ(std::fread(out.data(), 1, out.size(), f.get()), out.size());
    return out;
}

// Runs with LC_ALL set for latin1_init and the locale set to it; both come back afterwards.
class LocaleScope {
public:
    explicit LocaleScope(const char *name) : saved_locale_(std::setlocale(LC_ALL, nullptr))
    {
        if (const char *env = std::getenv("LC_ALL"))
            saved_env_ = env;
        setenv("LC_ALL", name, 1);
        ok_ = std::setlocale(LC_ALL, name) != nullptr;
    }
    ~LocaleScope()
    {
        if (saved_env_)
            setenv("LC_ALL", saved_env_->c_str(), 1);
        else
            unsetenv("LC_ALL");
        std::setlocale(LC_ALL, saved_locale_.c_str());
    }
    bool ok() const { return ok_; }

private:
    std::string saved_locale_;
    std::optional<std::string> saved_env_;
    bool ok_ = false;
};

// The worked example: disc "Album Title" with tracks "First song" and "Second"; the
// performer "Band" on the disc and on track 2, none on track 1.
std::unique_ptr<PQlist> example_disc()
{
    auto pq = pq_new();
    pq->title = "Album Title";
    pq->performer = "Band";
    new_track(*pq)->title = "First song";
    PQtrack *t2 = new_track(*pq);
    t2->title = "Second";
    t2->performer = "Band";
    return pq;
}

const std::string example_packs = pack(0x80, 0, 0, 0x00, std::string("Album Title") + '\0') +
                                  pack(0x80, 1, 1, 0x00, std::string("First song\0S", 12)) +
                                  pack(0x80, 2, 2, 0x01, std::string("econd\0", 6)) +
                                  pack(0x81, 0, 3, 0x00, std::string("Band\0\0Band\0", 11)) +
                                  pack(0x8F, 0, 4, 0x00, bytes({0, 1, 2, 0, 3, 1})) +
                                  pack(0x8F, 1, 5, 0x00, bytes({0, 0, 0, 0, 0, 0, 0, 3, 6})) +
                                  pack(0x8F, 2, 6, 0x00, bytes({0, 0, 0, 0, 9}));

std::string written_cdtext(const PQlist &pq)
{
    return written([&](std::FILE *f) { EXPECT_EQ(pq_write_cdtext(pq, f), 0); });
}

std::string listing_of(const std::string &file, const char *locale = "C")
{
    LocaleScope scope(locale);
    auto f = stream_of(file);
    return test::capture([&] { parse_cdtext(f.get()); }).out;
}

// ---- Latin-1 output and code tables ----

TEST(Latin1, PrintableRangesUseTheLowByte)
{
    EXPECT_EQ(latin1_isprint(0x7E), 1);
    EXPECT_EQ(latin1_isprint(0x20), 1);
    EXPECT_EQ(latin1_isprint(0xA0), 1);
    EXPECT_EQ(latin1_isprint(0xFF), 1);
    EXPECT_EQ(latin1_isprint(-23), 1); // the byte 0xE9
    EXPECT_EQ(latin1_isprint(-1), 1);  // 0xFF
    for (int c : {0x00, 0x1F, 0x7F, 0x80, 0x9F, -128, 0x109})
        EXPECT_EQ(latin1_isprint(c), 0) << c;
}

TEST(Latin1, PrintShowsLettersInTheLocaleAndMarksControls)
{
    LocaleScope utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    const auto print = [](const char *text) { return written([&](std::FILE *f) { latin1_print(f, text); }); };
    EXPECT_EQ(print("Caf\xE9\t\x7F\x85!"), "Caf\xC3\xA9??" "?!");
}

TEST(Latin1, LettersTheCLocaleCannotShowBecomeQuestionMarks)
{
    LocaleScope c("C");
    ASSERT_TRUE(c.ok());
    file_ptr f(std::tmpfile());
    latin1_print(f.get(), "Zo\xEB & Caf\xE9\tend");
    EXPECT_EQ(std::ferror(f.get()), 0);
    std::fflush(f.get());
    std::rewind(f.get());
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, f.get()), nullptr);
    EXPECT_STREQ(line, "Zo? & Caf??end");
}

TEST(CodeTables, NamesAndTheirFallbacks)
{
    EXPECT_STREQ(charset_to_str(0x00), "ISO 8859-1 (Latin1)");
    EXPECT_STREQ(charset_to_str(0x01), "ISO 646 (ASCII)");
    EXPECT_STREQ(charset_to_str(0x80), "MS-JIS");
    EXPECT_STREQ(charset_to_str(0x82), "Mandarin (standard) Chinese character code");
    EXPECT_STREQ(charset_to_str(2), "illegal character set");
    EXPECT_STREQ(charset_to_str(0x7F), "illegal character set");
    EXPECT_STREQ(language_to_str(9), "English");
    EXPECT_STREQ(language_to_str(0x75), "Chinese");
    EXPECT_STREQ(language_to_str(11), "not recognized");
    EXPECT_STREQ(language_to_str(-9), "not recognized");
    EXPECT_STREQ(genre_to_str(0), "Not Used");
    EXPECT_STREQ(genre_to_str(24), "Rhythm & Blues");
    EXPECT_STREQ(genre_to_str(27), "World Music");
    EXPECT_STREQ(genre_to_str(28), "Unknown ");
    EXPECT_STREQ(genre_to_str(0xFFFFFFFFu), "Unknown ");

    cdtext_pack_t p;
    p.type = 0x8E;
    p.track = 0;
    EXPECT_STREQ(pack_type_to_str(&p), "UPC/EAN");
    p.track = 3;
    EXPECT_STREQ(pack_type_to_str(&p), "ISRC");
    p.type = 0x8D;
    EXPECT_STREQ(pack_type_to_str(&p), "Closed info");
    p.type = 0x90;
    EXPECT_STREQ(pack_type_to_str(&p), "unknown pack type");
    p.type = 0x7F;
    EXPECT_STREQ(pack_type_to_str(&p), "unknown pack type");
}

// ---- Packs ----

TEST(Packs, CrcIsCrc16Gsm)
{
    const std::string check = "123456789";
    EXPECT_EQ(crc_ccitt(reinterpret_cast<const std::uint8_t *>(check.data()), 9), 0xCE3C);
    EXPECT_EQ(bitwise_crc(check), 0xCE3C);
    std::string data;
    for (int i = 0; i < 300; ++i) {
        data += static_cast<char>(i * 37 + 11);
        EXPECT_EQ(crc_ccitt(reinterpret_cast<const std::uint8_t *>(data.data()), i + 1), bitwise_crc(data)) << i;
    }
}

TEST(Packs, EncodePlacesEveryFieldAndCountsOn)
{
    cdtext_pack_t p;
    cdtp_clear(&p);
    std::uint32_t seq = 7;
    std::uint8_t out[18];
    cdtp_encode(&p, out, &seq);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 18), pack(0xFF, 0x7F, 7, 0, ""));
    EXPECT_EQ(seq, 8u);

    p.type = 0x85;
    p.ext = 1;
    p.track = 5;
    p.seq = 99; // not used: the counter decides
    p.dbcc = 1;
    p.block = 5;
    p.charpos = 13;
    std::memcpy(p.text.data(), "Hello world!", 12);
    seq = 256;
    cdtp_encode(&p, out, &seq);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 18), pack(0x85, 0x85, 0x00, 0xDD, "Hello world!"));
    EXPECT_EQ(seq, 257u);
}

TEST(Packs, DecodeGivesBackTheFieldsAndChecksTheCrc)
{
    cdtext_pack_t p;
    p.type = 0x87;
    p.ext = 1;
    p.track = 99;
    p.dbcc = 0;
    p.block = 7;
    p.charpos = 15;
    std::memcpy(p.text.data(), "\x00\x05" "Baroque\0\0\0", 12);
    std::uint32_t seq = 0x1AB;
    std::uint8_t buf[18];
    cdtp_encode(&p, buf, &seq);

    cdtext_pack_t d;
    cdtp_decode(&d, buf);
    EXPECT_EQ(d.type, 0x87);
    EXPECT_EQ((std::array<int, 6>{d.ext, d.track, d.seq, d.dbcc, d.block, d.charpos}),
              (std::array<int, 6>{1, 99, 0xAB, 0, 7, 15}));
    EXPECT_EQ(d.text, p.text);
    EXPECT_EQ(d.crc, bitwise_crc(std::string(reinterpret_cast<char *>(buf), 16)));
    EXPECT_EQ(d.crc_ok, 1);

    for (int i = 0; i < 18; ++i) {
        std::uint8_t bad[18];
        std::memcpy(bad, buf, 18);
        bad[i] ^= 0x10;
        cdtp_decode(&d, bad);
        EXPECT_EQ(d.crc_ok, 0) << "byte " << i;
    }
}

TEST(Packs, ReadTellsPacksEndAndIncompletePacks)
{
    const std::string two = pack(0x80, 0, 0, 0, "A") + pack(0x80, 0, 1, 0, "B");
    const auto results = [](const std::string &file) {
        auto f = stream_of(file);
        std::vector<int> r;
        cdtext_pack_t p;
        for (int i = 0; i < 4; ++i)
            r.push_back(cdtp_read(&p, f.get()));
        return r;
    };
    EXPECT_EQ(results(""), (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(results(two), (std::vector<int>{0, 0, -1, -1}));
    EXPECT_EQ(results(two + '\0'), (std::vector<int>{0, 0, -1, -1}));
    EXPECT_EQ(results(two + '\x01'), (std::vector<int>{0, 0, -2, -1}));
    EXPECT_EQ(results(two + std::string(4, '\0')), (std::vector<int>{0, 0, -2, -1}));
    EXPECT_EQ(results(std::string(1, '\0')), (std::vector<int>{-1, -1, -1, -1}));
}

// ---- Writer ----

TEST(Writer, WorkedExampleByteForByte)
{
    EXPECT_EQ(written_cdtext(*example_disc()), example_packs);
    EXPECT_EQ(pq_cdtext_pack_count(*example_disc()), 7);
}

TEST(Writer, ElevenByteTextFillsItsPackWithItsNul)
{
    const std::string out = written([](std::FILE *f) {
        auto w = cdtw_open(f);
        cdtw_put(w.get(), 0, CDTEXT_TITLE, "Eleven byte");
        cdtw_put(w.get(), 1, CDTEXT_TITLE, "Next");
        cdtw_close(w.get());
    });
    ASSERT_EQ(out.size(), 5u * 18);
    EXPECT_EQ(out.substr(0, 36), pack(0x80, 0, 0, 0, std::string("Eleven byte") + '\0') +
                                     pack(0x80, 1, 1, 0, std::string("Next") + '\0'));
}

TEST(Writer, FortyByteTextSpansFourPacksWithPositionsCutAt15)
{
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    ASSERT_EQ(text.size(), 40u);
    const std::string out = written([&](std::FILE *f) {
        auto w = cdtw_open(f);
        cdtw_put(w.get(), 0, CDTEXT_PERFORMER, nullptr);
        cdtw_put(w.get(), 1, CDTEXT_PERFORMER, std::string(10, 'x').c_str()); // fills the first pack
        cdtw_put(w.get(), 2, CDTEXT_PERFORMER, text.c_str());
        cdtw_close(w.get());
    });
    EXPECT_EQ(out.substr(18, 4 * 18), pack(0x81, 2, 1, 0, text.substr(0, 12)) +
                                          pack(0x81, 2, 2, 12, text.substr(12, 12)) +
                                          pack(0x81, 2, 3, 15, text.substr(24, 12)) +
                                          pack(0x81, 2, 4, 15, text.substr(36) + '\0'));
    // Size pack 0: last track 2, five performer packs.
    EXPECT_EQ(out.substr(5 * 18), pack(0x8F, 0, 5, 0, bytes({0, 1, 2, 0, 0, 5})) +
                                      pack(0x8F, 1, 6, 0, bytes({0, 0, 0, 0, 0, 0, 0, 3, 7})) +
                                      pack(0x8F, 2, 7, 0, bytes({0, 0, 0, 0, 9})));
}

TEST(Writer, DiscTextsAloneGetNoSizeInformation)
{
    const std::string out = written([](std::FILE *f) {
        auto w = cdtw_open(f);
        cdtw_put(w.get(), 0, CDTEXT_TITLE, "Album Title");
        cdtw_put(w.get(), 0, CDTEXT_PERFORMER, "Band");
        cdtw_close(w.get());
    });
    // The full title pack went out when it filled; close adds nothing.
    EXPECT_EQ(out, pack(0x80, 0, 0, 0, std::string("Album Title") + '\0'));

    auto pq = pq_new();
    pq->title = "Album Title";
    pq->performer = "Band";
    EXPECT_EQ(pq_cdtext_pack_count(*pq), 1);
    pq->performer.reset();
    pq->songwriter = "Somebody with a longer name";
    EXPECT_EQ(pq_cdtext_pack_count(*pq), 3);
    EXPECT_EQ(written_cdtext(*pq).size(), 3u * 18);
}

TEST(Writer, EmptyTrackTextsStillTakeTheirNul)
{
    auto pq = pq_new();
    pq->title = "Album";
    new_track(*pq);
    new_track(*pq);
    EXPECT_EQ(written_cdtext(*pq), pack(0x80, 0, 0, 0, std::string("Album\0\0", 8)) +
                                       pack(0x8F, 0, 1, 0, bytes({0, 1, 2, 0, 1})) +
                                       pack(0x8F, 1, 2, 0, bytes({0, 0, 0, 0, 0, 0, 0, 3, 3})) +
                                       pack(0x8F, 2, 3, 0, bytes({0, 0, 0, 0, 9})));
}

TEST(Writer, ListWithoutTextWritesNothing)
{
    auto pq = pq_new();
    new_track(*pq);
    EXPECT_EQ(pq_cdtext_pack_count(*pq), 0);
    EXPECT_EQ(written([&](std::FILE *f) { EXPECT_EQ(pq_write_cdtext(*pq, f), -1); }), "");
}

// A disc title and a track title that together take `bytes` text bytes, NULs included.
std::unique_ptr<PQlist> titles_of(std::size_t bytes)
{
    auto pq = pq_new();
    pq->title = std::string(1500, 'D');
    new_track(*pq)->title = std::string(bytes - 1502, 'T');
    return pq;
}

TEST(Writer, OneBlockHoldsAtMost256Packs)
{
    // 3036 bytes are 253 text packs: with the size information exactly 256.
    auto full = titles_of(3036);
    EXPECT_EQ(pq_cdtext_pack_count(*full), 256);
    const std::string out = written_cdtext(*full);
    ASSERT_EQ(out.size(), 256u * 18);
    EXPECT_EQ(out.substr(252 * 18, 18), pack(0x80, 1, 252, 15, std::string(11, 'T') + '\0'));
    EXPECT_EQ(out.substr(253 * 18), pack(0x8F, 0, 253, 0, bytes({0, 1, 1, 0, 253})) +
                                        pack(0x8F, 1, 254, 0, bytes({0, 0, 0, 0, 0, 0, 0, 3, 255})) +
                                        pack(0x8F, 2, 255, 0, bytes({0, 0, 0, 0, 9})));

    // One byte more needs a 254th text pack: refused, and nothing written.
    auto over = titles_of(3037);
    EXPECT_EQ(pq_cdtext_pack_count(*over), 257);
    EXPECT_EQ(written([&](std::FILE *f) { EXPECT_EQ(pq_write_cdtext(*over, f), -2); }), "");

    // Each kind starts a fresh pack: a performer on top of the full title costs one more.
    full->tracks->performer = "P";
    EXPECT_EQ(pq_cdtext_pack_count(*full), 257);
    EXPECT_EQ(written([&](std::FILE *f) { EXPECT_EQ(pq_write_cdtext(*full, f), -2); }), "");
}

// ---- Reader ----

TEST(Reader, ScanFindsTheWritersSizeInformation)
{
    cdtext_block_info_t blocks[8];
    auto f = stream_of(example_packs);
    EXPECT_EQ(cdtext_scan_blocks(f.get(), blocks), 0);
    EXPECT_EQ((std::array<int, 4>{blocks[0].first_track, blocks[0].last_track, blocks[0].language, blocks[0].charset}),
              (std::array<int, 4>{1, 2, 9, 0}));
    EXPECT_EQ(blocks[0].counts[0], 3);
    EXPECT_EQ(blocks[0].counts[1], 1);
    EXPECT_EQ(blocks[0].counts[15], 3);
    EXPECT_EQ(blocks[0].last_seq, 6);
    EXPECT_EQ(blocks[1].last_track, 0);

    auto no_size = stream_of(example_packs.substr(0, 4 * 18));
    EXPECT_EQ(cdtext_scan_blocks(no_size.get(), blocks), 1);
    auto cut = stream_of(example_packs.substr(0, 7 * 18 - 1));
    EXPECT_EQ(cdtext_scan_blocks(cut.get(), blocks), -1);
}

TEST(Reader, ListsTheWorkedExample)
{
    EXPECT_EQ(listing_of(example_packs), "Block 0:\n"
                                         "  Language     : English\n"
                                         "  Character set: ISO 8859-1 (Latin1)\n"
                                         "  Tracks       : 1-2\n"
                                         "  Title\n"
                                         "    Disk  : Album Title\n"
                                         "    Trk 01: First song\n"
                                         "    Trk 02: Second\n"
                                         "  Performer\n"
                                         "    Disk  : Band\n"
                                         "    Trk 02: Band\n");
    auto o = test::capture([] { parse_cdtext(nullptr); });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "parse_cdtext: error: no file given\n");
}

TEST(Reader, ListsGenreTocAndFilesWithoutSizeInformation)
{
    const std::string file = pack(0x87, 0, 0, 0, std::string("\x00\x05" "Baroque", 9)) +
                             pack(0x88, 0, 1, 0, bytes({1, 2, 0, 40, 2, 3})) +
                             pack(0x88, 1, 2, 0, bytes({0, 2, 0, 3, 10, 74}));
    EXPECT_EQ(listing_of(file), "Block 0:\n"
                                "  Language     : not specified\n"
                                "  Character set: ISO 8859-1 (Latin1)\n"
                                "  Tracks       : 0-0\n"
                                "  Genre\n"
                                "    Code  : 5 = Classical\n"
                                "    Detail: Baroque\n"
                                "  TOC\n"
                                "    Tracks: 1 - 2, Lead-out at: 40:02:03\n"
                                "    Track 01: 00:02:00\n"
                                "    Track 02: 03:10:74\n");
}

TEST(Reader, ListsLatin1LettersInTheUsersEncoding)
{
    const std::string file = pack(0x82, 1, 0, 0, std::string("Zo\xEB") + '\0');
    const std::string head = "Block 0:\n"
                             "  Language     : not specified\n"
                             "  Character set: ISO 8859-1 (Latin1)\n"
                             "  Tracks       : 0-0\n"
                             "  Songwriter\n";
    EXPECT_EQ(listing_of(file, "C.UTF-8"), head + "    Trk 01: Zo\xC3\xAB\n");
    EXPECT_EQ(listing_of(file, "C"), head + "    Trk 01: Zo?\n");
}

TEST(Reader, TruncatedFileEndsTheListingSilently)
{
    LocaleScope scope("C");
    auto f = stream_of(example_packs.substr(0, 3 * 18 + 10));
    auto o = test::capture([&] { parse_cdtext(f.get()); });
    EXPECT_EQ(o.out, "Block 0:\n"
                     "  Language     : not specified\n"
                     "  Character set: ISO 8859-1 (Latin1)\n"
                     "  Tracks       : 0-0\n"
                     "  Title\n"
                     "    Disk  : Album Title\n"
                     "    Trk 01: First song\n"
                     "    Trk 02: Second\n");
    EXPECT_EQ(o.err, "");
}

TEST(Reader, OverlongRunsWithoutNulAreCutToTheBuffer)
{
    // 42 packs of letters without a NUL (504 bytes), then one that ends the text.
    std::string file;
    for (int i = 0; i < 42; ++i)
        file += pack(0x80, 0, i, i < 15 ? i : 15, std::string(12, static_cast<char>('A' + i % 26)));
    file += pack(0x80, 0, 42, 15, std::string("end") + '\0');
    std::string expected_text;
    for (int i = 0; i < 14; ++i)
        expected_text += std::string(12, static_cast<char>('A' + i % 26));
    expected_text = expected_text.substr(0, 159);
    EXPECT_EQ(listing_of(file), "Block 0:\n"
                                "  Language     : not specified\n"
                                "  Character set: ISO 8859-1 (Latin1)\n"
                                "  Tracks       : 0-0\n"
                                "  Title\n"
                                "    Disk  : " + expected_text + "\n");

    // The transfer keeps 3035 bytes of a longer run.
    std::string big;
    for (int i = 0; i < 260; ++i)
        big += pack(0x80, 0, i, 15, std::string(12, 'x'));
    big += pack(0x80, 0, 4, 15, std::string(1, '\0'));
    auto pq = pq_new();
    auto f = stream_of(big);
    EXPECT_EQ(cdtext_fill_pqlist(f.get(), *pq), 0);
    EXPECT_EQ(pq->title, std::string(3035, 'x'));
}

TEST(Reader, TextCutOffByATypeChangeIsNotGluedToTheNextType)
{
    // A damaged title run without its NUL, then a performer pack.
    const std::string file = pack(0x80, 0, 0, 0, "Lost title b") + pack(0x81, 0, 1, 0, std::string("Band") + '\0');
    EXPECT_EQ(listing_of(file), "Block 0:\n"
                                "  Language     : not specified\n"
                                "  Character set: ISO 8859-1 (Latin1)\n"
                                "  Tracks       : 0-0\n"
                                "  Title\n"
                                "  Performer\n"
                                "    Disk  : Band\n");
    auto pq = pq_new();
    auto f = stream_of(file);
    EXPECT_EQ(cdtext_fill_pqlist(f.get(), *pq), 0);
    EXPECT_EQ(pq->title, std::nullopt);
    EXPECT_EQ(pq->performer, "Band");
}

TEST(Reader, FillTransfersBlockZerosTexts)
{
    auto pq = pq_new();
    new_track(*pq);
    new_track(*pq)->title = "Old";
    auto f = stream_of(example_packs);
    EXPECT_EQ(cdtext_fill_pqlist(f.get(), *pq), 0);
    EXPECT_EQ(pq->title, "Album Title");
    EXPECT_EQ(pq->performer, "Band");
    EXPECT_EQ(pq_get_track(*pq, 1)->title, "First song");
    EXPECT_EQ(pq_get_track(*pq, 1)->performer, std::nullopt);
    EXPECT_EQ(pq_get_track(*pq, 2)->title, "Second");
    EXPECT_EQ(pq_get_track(*pq, 2)->performer, "Band");

    // A file for two tracks does not fit a list of one.
    auto short_list = pq_new();
    new_track(*short_list);
    auto again = stream_of(example_packs);
    EXPECT_EQ(cdtext_fill_pqlist(again.get(), *short_list), -1);
    EXPECT_EQ(short_list->title, "Album Title");
}

TEST(Reader, FillRefusesOtherCharsetsAndReportsOtherContent)
{
    // The example with its character code turned into MS-JIS: nothing is stored.
    std::string jis = example_packs.substr(0, 4 * 18) + pack(0x8F, 0, 4, 0, bytes({0x80, 1, 2, 0, 3, 1})) +
                      example_packs.substr(5 * 18);
    auto pq = pq_new();
    new_track(*pq);
    new_track(*pq);
    auto f = stream_of(jis);
    EXPECT_EQ(cdtext_fill_pqlist(f.get(), *pq), -1);
    EXPECT_EQ(pq->title, std::nullopt);
    EXPECT_EQ(pq->tracks->title, std::nullopt);

    // A composer pack is left out, and said so, after the titles are stored.
    std::string composer = example_packs.substr(0, 3 * 18) + pack(0x83, 0, 3, 0, std::string("Bach") + '\0');
    auto g = stream_of(composer);
    EXPECT_EQ(cdtext_fill_pqlist(g.get(), *pq), 1);
    EXPECT_EQ(pq_get_track(*pq, 2)->title, "Second");

    // A second block stops the transfer after block 0.
    auto h = stream_of(pack(0x80, 0, 0, 0, std::string("One") + '\0') + pack(0x80, 0, 1, 0x10, "Zwei"));
    EXPECT_EQ(cdtext_fill_pqlist(h.get(), *pq), 1);
    EXPECT_EQ(pq->title, "One");
}

// ---- Dump ----

TEST(Dump, RowsShowFieldsBytesTextAndCrcMark)
{
    LocaleScope scope("C");
    const std::string size_pack = example_packs.substr(4 * 18, 18);
    std::string altered = example_packs.substr(0, 18);
    altered[17] = static_cast<char>(altered[17] ^ 0xFF);
    auto f = stream_of(example_packs.substr(0, 18) + size_pack + altered);
    char size_crc[8];
    std::snprintf(size_crc, sizeof size_crc, "%04X", bitwise_crc(size_pack.substr(0, 16)));
    // The first CRC was computed with an independent CRC-16/GSM.
    const std::string header = "Pt E T# S# D B Cp  Text (hexadecimal)                    Text(Latin1)  CRC \n"
                               "-----------------  ------------------------------------  ------------  ----\n";
    EXPECT_EQ(test::capture([&] { cdt_dump(f.get()); }).out,
              header + "80 0 00 00 0 0  0  41 6C 62 75 6D 20  54 69 74 6C 65 00  Album Title.  9DB9 \n"
                       "8F 0 00 04 0 0  0  00 01 02 00 03 01  00 00 00 00 00 00  ............  " +
                  size_crc + " \n" +
                  "80 0 00 00 0 0  0  41 6C 62 75 6D 20  54 69 74 6C 65 00  Album Title.  9D46 !\n");

    auto empty = stream_of("");
    auto o = test::capture([&] { cdt_dump(empty.get()); });
    EXPECT_EQ(o.out, header);
    EXPECT_EQ(o.err, "");
}

TEST(Dump, IncompletePackEndsWithTheSystemErrorText)
{
    LocaleScope scope("C");
    auto f = stream_of(example_packs.substr(0, 18 + 5));
    int error_shown = 0;
    auto o = test::capture([&] {
        cdt_dump(f.get());
        error_shown = errno;
    });
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 3);
    EXPECT_EQ(o.err, std::string(std::strerror(error_shown)) + "\n");
}

// ---- Block model ----

TEST(BlockModel, ChainTracksAndFields)
{
    EXPECT_EQ(cdtb_new(nullptr), nullptr);
    auto first = cdtb_new();
    cdtext_block_t *second = cdtb_new(first.get());
    cdtext_block_t *third = cdtb_new(first.get());
    EXPECT_EQ(first->next.get(), second);
    EXPECT_EQ(second->next.get(), third);
    EXPECT_EQ(third->next, nullptr);

    EXPECT_EQ(cdtb_create_tracks(second, 1, 3), 0);
    std::vector<int> numbers;
    for (const cdtext_track_t *t = second->tracks.get(); t != nullptr; t = t->next.get())
        numbers.push_back(t->number);
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(cdtb_create_tracks(third, 4, 3), 0);
    EXPECT_EQ(third->tracks, nullptr);

    EXPECT_EQ(cdtb_set_field(second, 2, 7, "first"), 0);
    EXPECT_EQ(cdtb_set_field(second, 2, 7, "second"), 0);
    EXPECT_STREQ(cdtb_get_field(second, 2, 7), "second");
    EXPECT_EQ(cdtb_get_field(second, 3, 7), nullptr);
    EXPECT_EQ(cdtb_set_field(second, 0, 0, "disc"), 0);
    EXPECT_STREQ(cdtb_get_field(second, 0, 0), "disc");
    EXPECT_EQ(cdtb_set_field(second, 2, 8, "x"), 1);
    EXPECT_EQ(cdtb_set_field(second, 2, -1, "x"), 1);
    EXPECT_EQ(cdtb_get_field(second, 2, 8), nullptr);
    EXPECT_EQ(cdtb_set_field(second, 5, 0, "x"), 1);
    EXPECT_EQ(cdtb_get_field(second, 5, 0), nullptr);
    EXPECT_EQ(cdtb_set_field(third, 1, 0, "x"), 1);

    cdtb_set_language(second, 8);
    cdtb_set_charset(second, 0x80);
    cdtb_set_genre_code(second, 5);
    EXPECT_EQ(cdtb_get_language(second), 8);
    EXPECT_STREQ(cdtb_get_language_name(second), "German");
    EXPECT_EQ(cdtb_get_charset(second), 0x80);
    EXPECT_STREQ(cdtb_get_charset_name(second), "MS-JIS");
    EXPECT_EQ(second->genre_code, 5);
    cdtb_delete(std::move(first));
}

// ---- An independent reader ----

// Runs cdrskin's CD-Text report on a file and returns its "Name = value" lines.
std::map<std::string, std::string> cdrskin_report(const std::string &path)
{
    std::map<std::string, std::string> fields;
    const std::string cmd = "cdrskin textfile_to_v07t=" + path + " 2>/dev/null";
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> p(popen(cmd.c_str(), "r"), pclose);
    if (!p)
        return fields;
    char line[512];
    while (std::fgets(line, sizeof line, p.get()) != nullptr) {
        std::string s(line);
        const auto eq = s.find(" = ");
        if (eq == std::string::npos)
            continue;
        std::string name = s.substr(0, eq);
        name.erase(name.find_last_not_of(' ') + 1);
        std::string value = s.substr(eq + 3);
        if (!value.empty() && value.back() == '\n')
            value.pop_back();
        fields[name] = value;
    }
    return fields;
}

bool on_path(const char *program)
{
    std::istringstream dirs(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (access((std::filesystem::path(dir) / program).c_str(), X_OK) == 0)
            return true;
    return false;
}

TEST(Writer, CdrskinReadsWhatTheWriterMakes)
{
    if (!on_path("cdrskin"))
        GTEST_SKIP() << "cdrskin is not on the PATH: no independent CD-Text reader";
    auto pq = pq_new();
    pq->title = "Album Title"; // 11 bytes: its NUL closes the first pack
    pq->performer = "The Band";
    PQtrack *t1 = new_track(*pq);
    t1->title = "Caf\xE9 \xE0 la carte: forty bytes, four packs"; // 40 bytes from a pack start
    t1->songwriter = "Zo\xEB";
    PQtrack *t2 = new_track(*pq);
    t2->performer = "Guest";
    PQtrack *t3 = new_track(*pq);
    t3->title = "Eleven byte";
    ASSERT_EQ(t1->title->size(), 40u);

    test::TempDir dir;
    const std::string path = dir.file("CDTEXT.BIN");
    file_ptr f = tolk_fopen(path.c_str(), "wb");
    ASSERT_EQ(pq_write_cdtext(*pq, f.get()), 0);
    ASSERT_TRUE(close_checked(f));

    auto r = cdrskin_report(path);
    EXPECT_EQ(r["Album Title"], "Album Title");
    EXPECT_EQ(r["Artist Name"], "The Band");
    EXPECT_EQ(r["Songwriter"], "");
    EXPECT_EQ(r["First Track Number"], "1");
    EXPECT_EQ(r["Last Track Number"], "3");
    for (int n = 1; n <= 3; ++n) {
        const PQtrack *t = pq_get_track(*pq, n);
        char key[32];
        std::snprintf(key, sizeof key, "Track %02d ", n);
        EXPECT_EQ(r[key + std::string("Title")], t->title.value_or("")) << n;
        EXPECT_EQ(r[key + std::string("Artist")], t->performer.value_or("")) << n;
        EXPECT_EQ(r[key + std::string("Songwriter")], t->songwriter.value_or("")) << n;
    }
}

} // namespace
