#include "cueparser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>

#include "log.h"
#include "safe_output.h"
#include "test_support.h"

// The whole-run behaviour of the parser (the worked example, the summary, the
// WAVE format refusals, a sheet on standard input) is checked by the golden
// cases under tests/cases; these tests go through every command check.

namespace {

const std::string head = "FILE a.bin BINARY\nTRACK 01 AUDIO\n";
const std::string body = head + "INDEX 01 00:00:00\n";

/// One cue sheet parse in a scratch folder: the sheet is "a.cue", audio beside it.
class CueTest : public ::testing::Test {
protected:
    /// Patterned raw audio; three minutes by default, enough for most sheets.
    void raw(const std::string &name = "a.bin", std::size_t bytes = 3 * 60 * 75 * 2352)
    {
        test::write_file(dir.file(name), test::generated_bytes(bytes, 5));
    }

    /// Parses `sheet` and returns what was printed on standard error.
    std::string parse(const std::string &sheet)
    {
        test::write_file(dir.file("a.cue"), sheet);
        refused = false;
        return test::capture([&] {
                   try {
                       cue_open(dir.file("a.cue").c_str(), &cue);
                   } catch (const fatal_error &e) {
                       EXPECT_EQ(e.status(), 1);
                       refused = true;
                   }
               })
            .err;
    }

    /// Errors name the sheet as given, warnings only its last component.
    std::string E(int line, const std::string &message) const
    {
        return dir.file("a.cue") + ":" + std::to_string(line) + ": error: " + message + "\n";
    }
    static std::string W(int line, const std::string &message)
    {
        return "a.cue:" + std::to_string(line) + ": warning: " + message + "\n";
    }
    std::string file_error(const std::string &name, const std::string &message) const
    {
        return dir.file(name) + ": error: " + message + "\n";
    }

    test::TempDir dir;
    cuesheet_t cue;
    bool refused = false;
};

TEST(CueLines, LineReaderAcceptsAtMost254CharactersAndALastLineOf255)
{
    test::TempDir dir;
    const std::string l254(254, 'a'), l255(255, 'b'), l300(300, 'c');
    test::write_file(dir.file("in"), l254 + "\n" + l255 + "\nx\r\n" + l300);
    file_ptr fp = tolk_fopen(dir.file("in").c_str(), "rb");
    char buf[256];
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), 1);
    EXPECT_EQ(std::string(buf), l254 + "\n");
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), -1);
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), 1);
    EXPECT_EQ(std::string(buf), "x\r\n");
    // An over-long last line without a line end is skipped to the end of the input.
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), -1);
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), 0);

    test::write_file(dir.file("last"), l255);
    fp = tolk_fopen(dir.file("last").c_str(), "rb");
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), 1);
    EXPECT_EQ(std::string(buf), l255);
}

TEST(CueLines, TokensQuotesAndNumbers)
{
    const char *sep = "\n\r\t ";
    char *cursor = nullptr;
    char line[] = "  TITLE \"say \"hi\" now\" trailing\r\n";
    EXPECT_STREQ(next_token(line, sep, 0, &cursor), "TITLE");
    EXPECT_STREQ(next_token(nullptr, sep, 1, &cursor), "say \"hi\" now");
    EXPECT_STREQ(next_token(nullptr, sep, 0, &cursor), "trailing");
    EXPECT_EQ(next_token(nullptr, sep, 0, &cursor), nullptr);
    // An unclosed quote runs to the end of the line, without the line end.
    char open[] = "FILE \"my song.wav WAVE\r\n";
    next_token(open, sep, 0, &cursor);
    EXPECT_STREQ(next_token(nullptr, sep, 1, &cursor), "my song.wav WAVE");
    char unquoted[] = "TITLE\tHello World";
    next_token(unquoted, sep, 0, &cursor);
    EXPECT_STREQ(next_token(nullptr, sep, 1, &cursor), "Hello");
    char blank[] = " \t\r\n";
    EXPECT_EQ(next_token(blank, sep, 0, &cursor), nullptr);

    EXPECT_EQ(is_number(""), 1);
    EXPECT_EQ(is_number("0099"), 1);
    EXPECT_EQ(is_number("9a"), 0);
    EXPECT_EQ(is_number("-1"), 0);
}

TEST_F(CueTest, EveryCommandCheck)
{
    raw();
    const std::string rem254 = "REM " + std::string(250, 'x');
    const struct {
        std::string sheet;
        std::string expected;
    } rows[] = {
        {"", dir.file("a.cue") + ": error: no TRACK command found\n"},
        {"REM one\n\n   \nREM two\n", E(4, "no TRACK command found")},
        {"track 01 audio\n", W(1, "command ignored: 'track'") + E(1, "no TRACK command found")},
        {rem254 + "\n" + body, ""},
        {rem254 + "y\n" + body, W(1, "REM line is longer than 254 characters, skipped")},
        {"TITLE " + std::string(249, 'x') + "\n" + head, E(1, "line is too long, maximum is 254 characters")},
        {body + rem254 + "y", ""},
        {body + "TITLE " + std::string(250, 'x'), E(4, "line is too long, maximum is 254 characters")},
        {"FILE a.bin BINARY\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n", ""},
        // CATALOG
        {"CATALOG 4006381333931\n" + body, ""},
        {"CATALOG 400638133393\n" + body, W(1, "catalog number's check digit is wrong: 400638133393")},
        {"CATALOG 4006381333932\n" + body, W(1, "catalog number's check digit is wrong: 4006381333932")},
        {"CATALOG 40063813339A1\n", E(1, "malformed catalog number: 40063813339A1, should be exactly 13 digits")},
        {"CATALOG 40063813339310\n", E(1, "malformed catalog number: 40063813339310, should be exactly 13 digits")},
        {"CATALOG\n", E(1, "no number found after CATALOG")},
        {"CATALOG 4006381333931\nCATALOG 4006381333931\n", E(2, "multiple CATALOG commands found")},
        {head + "CATALOG 4006381333931\n", E(3, "CATALOG command in TRACK section")},
        // CDTEXTFILE
        {head + "CDTEXTFILE \"t.cdt\"\n", E(3, "found CDTEXTFILE command in track section")},
        {"CDTEXTFILE a.cdt\nCDTEXTFILE b.cdt\n", E(2, "multiple CDTEXTFILE commands found")},
        {"CDTEXTFILE\n", E(1, "missing filename after CDTEXTFILE command")},
        {"CDTEXTFILE \"\"\n", E(1, "missing filename after CDTEXTFILE command")},
        {"CDTEXTFILE \"sub dir/t.cdt\"\n" + body,
         file_error("sub dir/t.cdt", "cannot open CD text file (" + dir.file("sub dir/t.cdt") + ")")},
        // FILE
        {"FILE my song.wav\n", E(1, "file type not supported: song.wav")},
        {"FILE \"my song.wav WAVE\n", E(1, "missing file type after FILE command")},
        {"FILE \"\" WAVE\n", E(1, "missing filename after FILE command")},
        {"FILE\n", E(1, "missing filename after FILE command")},
        {"FILE a.bin wave\n", E(1, "file type not supported: wave")},
        {body + "FILE b.bin BINARY\n", file_error("b.bin", "can't open file, message: No such file or directory")},
        // TRACK
        {"FILE a.bin BINARY\nTRACK 001 AUDIO\nINDEX 01 00:00:00\n", ""},
        {body + "TRACK 03 AUDIO\nINDEX 01 01:00:00\n", W(4, "wrong track number, found 03, expected 02")},
        {"FILE a.bin BINARY\nTRACK x AUDIO\nINDEX 01 00:00:00\n",
         W(2, "malformed track number: x") + W(2, "track number out of range: x") +
             W(2, "wrong track number, found 00, expected 01")},
        {"TRACK 01 AUDIO\n", E(1, "missing FILE command before first TRACK command")},
        {"FILE a.bin BINARY\nTRACK\n", E(2, "missing track number")},
        {"FILE a.bin BINARY\nTRACK 01\n", E(2, "missing track type")},
        {"FILE a.bin BINARY\nTRACK 01 MODE1/2352\n", E(2, "unsupported track type: MODE1/2352")},
        {head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\n", E(4, "missing INDEX 01 in track 01")},
        {head + "INDEX 00 00:00:00\n", E(3, "missing INDEX 01 track 01")},
        // ISRC
        {"ISRC USRC17607839\n", E(1, "ISRC command before first TRACK command")},
        {head + "ISRC USRC17607839\nISRC USRC17607839\n", E(4, "multiple ISRC commands found in track 01")},
        {head + "ISRC\n", E(3, "missing argument for ISRC command in track 01")},
        {head + "ISRC US-RC1-76-0783\n", E(3, "malformed ISRC code in track 01: USRC1760783")},
        // FLAGS
        {head + "FLAGS DATA PRE\nINDEX 01 00:00:00\n", W(3, "unknown flag in track 01: DATA")},
        {"FLAGS PRE\n", E(1, "FLAGS command before first TRACK command")},
        {body + "FLAGS PRE\n", E(4, "FLAGS command after INDEX command in track 1")},
        {head + "FLAGS DCP SCMS\n", E(3, "cannot have flag DCP and SCMS specified for the same track (1)")},
        {head + "FLAGS DCP\nFLAGS SCMS\n", E(4, "cannot have flag DCP and SCMS specified for the same track (1)")},
        // INDEX
        {"INDEX 01 00:00:00\n", E(1, "INDEX command before first TRACK command")},
        {head + "INDEX\n", E(3, "no number found after INDEX command in track 01")},
        {head + "INDEX x1 00:00:00\n", E(3, "malformed index number in track 01: x1\n")},
        {head + "INDEX 02 00:00:00\n", E(3, "first index should not be 02 in track 01, but 0 or 1")},
        {head + "INDEX 00 00:00:00\nINDEX 02 00:02:00\n", E(4, "index out of sequence, found 02, expected 01")},
        {head + "INDEX 01\n", E(3, "no time given for index 01 in track 01")},
        {head + "INDEX 01 0:0\n", E(3, "malformed time for index 01 in track 01: 0:0, should be formatted as mm:ss:ff")},
        {head + "INDEX 01 00:00:01\n", E(3, "first index in first track must be at 00:00:00, found 00:00:01")},
        {head + "INDEX 00 00:00:00\nINDEX 01 00:00:00\n",
         E(4, "index at 00:00:00 should be later than pervious index  at 00:00:00")},
        {head + "INDEX 00 00:00:00\nINDEX 01 00:02:00\nINDEX 02 0:2:0\n",
         E(5, "index at 0:2:0 should be later than pervious index  at 00:02:00")},
        // TITLE, PERFORMER, SONGWRITER
        {"TITLE \"\"\nTITLE x\n", E(2, "multiple 'TITLE' commands in global section")},
        {"PERFORMER a\nPERFORMER b\n", E(2, "multiple 'PERFORMER' commands in global section")},
        {"SONGWRITER a\nSONGWRITER b\n", E(2, "Multiple 'SONGWRITER' commands in global section")},
        {head + "TITLE a\nTITLE b\n", E(4, "multiple 'TITLE' commands for track 1")},
        {head + "PERFORMER a\nPERFORMER b\n", E(4, "multiple 'PERFORMER' commands for track 1")},
        {head + "SONGWRITER a\nSONGWRITER b\n", E(4, "Multiple 'SONGWRITER' commands for track 1")},
        {"TITLE\n", E(1, "missing text after TITLE command")},
        {head + "SONGWRITER \t\r\n", E(3, "missing text after SONGWRITER command")},
        // PREGAP before INDEX 01 and without INDEX 00, POSTGAP after the last index
        {body + "PREGAP 00:02:00\n", E(4, "PREGAP command after INDEX 01 in track 01")},
        {head + "POSTGAP 00:02:00\n", E(3, "POSTGAP command before INDEX 01 in track 01")},
        {head + "INDEX 00 00:00:00\nPREGAP 00:02:00\n", E(4, "PREGAP and INDEX 00 both give track 01 a pregap")},
        {head + "PREGAP 1:2:3\nPREGAP 00:00:01\n", E(4, "multiple PREGAP commands in track 01")},
        {body + "POSTGAP 00:02:00\nINDEX 02 00:03:00\n", E(5, "INDEX command after POSTGAP in track 01")},
        {head + "PREGAP 0:60:0\n", E(3, "malformed time for PREGAP in track 01: 0:60:0, should be formatted as mm:ss:ff")},
        // Commands that are not ours
        {"FOO bar\n" + body, W(1, "command ignored: 'FOO'")},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sheet);
        EXPECT_EQ(parse(row.sheet), row.expected);
        EXPECT_EQ(refused, row.expected.find(": error: ") != std::string::npos);
    }
}

TEST_F(CueTest, LimitsOfTracksAndIndexes)
{
    raw();
    std::string hundred = "FILE a.bin BINARY\n";
    for (int t = 1; t <= 100; ++t) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "TRACK %02d AUDIO\nINDEX 01 00:%02d:%02d\n", t, t / 75, t % 75);
        hundred += buf;
    }
    hundred.replace(hundred.find("INDEX 01 00:00:01"), 17, "INDEX 01 00:00:00");
    EXPECT_EQ(parse(hundred), W(200, "track number out of range: 100") + E(200, "more than 99 tracks found"));

    // Index numbers run up to 99; the 101st INDEX of a track is refused before it is stored.
    std::string many = head;
    for (int i = 0; i <= 100; ++i) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "INDEX %02d 00:%02d:%02d\n", i, i / 75, i % 75);
        many += buf;
    }
    EXPECT_EQ(parse(many), E(103, "index 100 in track 01 is out of range, the last index is 99"));
}

TEST_F(CueTest, WhatTheCommandsStore)
{
    raw("my song.bin");
    ASSERT_EQ(parse("CATALOG 400638133393\nTITLE \"Disc \"Live\" Album\"\nPERFORMER Band Name\nSONGWRITER \"\"\n"
                    "FILE \"my song.bin\" BINARY\nTRACK 01 AUDIO\nFLAGS PRE\nFLAGS 4CH SCMS\nFLAGS\n"
                    "TITLE \"Caf\xe9\nINDEX 00 00:00:00\nINDEX 01 00:02:00\nISRC USRC17607839\n"
                    "TRACK 03 AUDIO\nINDEX 01 01:00:00\n"),
              W(1, "catalog number's check digit is wrong: 400638133393") +
                  W(14, "wrong track number, found 03, expected 02"));
    const PQlist &pq = *cue.pq;
    EXPECT_EQ(cue.files.at(0).path, dir.file("my song.bin"));
    EXPECT_STREQ(pq.upc_ean.data(), "400638133393"); // stored even with a wrong check digit
    EXPECT_EQ(*pq.title, "Disc \"Live\" Album");     // up to the last quote of the line
    EXPECT_EQ(*pq.performer, "Band Name");           // unquoted text runs to the end of the line
    EXPECT_EQ(*pq.songwriter, "");
    const PQtrack &t1 = *pq.tracks;
    EXPECT_EQ(*t1.title, "Caf\xe9");
    EXPECT_EQ(t1.flags, PQ_FLAG_PRE | PQ_FLAG_4CH | PQ_FLAG_SCMS);
    EXPECT_STREQ(t1.isrc.data(), "USRC17607839");
    // Track 1 brings its own pregap: nothing is inserted, and the third track is the second.
    EXPECT_EQ(cue.pregap_size, 0);
    EXPECT_EQ(t1.index[1], 150);
    EXPECT_EQ(pq_num_tracks(pq), 2);
    EXPECT_EQ(pq_get_track(pq, 2)->index[1], 4500);

    // Names are taken relative to the sheet's own folder.
    std::filesystem::create_directory(dir.file("sub"));
    raw("sub/a.bin");
    test::write_file(dir.file("sub/a.cue"), body);
    test::capture([&] { cue_open(dir.file("sub/a.cue").c_str(), &cue); });
    EXPECT_EQ(cue.files.at(0).path, dir.file("sub/a.bin"));
    EXPECT_EQ(cue.pregap_size, 352800);
    EXPECT_EQ(cue.pq->tracks->index[0], 0);
    EXPECT_EQ(cue.pq->tracks->index[1], 150);
}

TEST_F(CueTest, AudioDataFile)
{
    raw("a.bin", 4);
    EXPECT_EQ(parse(body), "a.bin: warning: audio does not end at a CD sector boundary, adding 2348 bytes of silence\n");
    EXPECT_EQ(cue.padding_size, 2348);
    EXPECT_EQ(cue.pq->lead_out, 151);
    raw("a.bin", 2352 * 7);
    EXPECT_EQ(parse(body), "");
    EXPECT_EQ(cue.padding_size, 0);
    EXPECT_EQ(cue.pq->lead_out, 157);
    raw("a.bin", 2);
    EXPECT_EQ(parse(body),
              file_error("a.bin", "audio stops in the middle of a sample frame, this files is broken, audio length: 2"));

    // The last index may start exactly where the audio ends, not one sector later.
    const std::string two = body + "TRACK 02 AUDIO\nINDEX 01 03:00:00\n";
    raw("a.bin", 13500L * 2352);
    EXPECT_EQ(parse(two), "");
    EXPECT_EQ(cue.pq->lead_out, 13650);
    raw("a.bin", 13499L * 2352);
    EXPECT_EQ(parse(two),
              file_error("a.bin", "not enough audio data, file ends at 03:01:74, but we need at least 03:02:00."));

    const std::string wave = "FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    EXPECT_EQ(parse(wave), file_error("a.wav", "can't open file, message: No such file or directory"));
    std::string cut = test::make_wave(std::string(2352 * 200, '\0'));
    cut.resize(cut.size() - 1000);
    test::write_file(dir.file("a.wav"), cut);
    EXPECT_EQ(parse(wave), file_error("a.wav", "wave file is truncated: its data chunk holds 470400 bytes, but only "
                                               "469400 are in the file"));
}

TEST_F(CueTest, NamedFilesThatAreNoRegularFilesAreRefusedBeforeTheyAreOpened)
{
    // /dev/zero never ends and stays at position 0: the WAVE walk and the CD-Text scan
    // would read it for ever, and as raw audio it would pass for an empty file. A FIFO
    // without a writer would block the open itself.
    const std::string track = "TRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    for (const char *type : {"BINARY", "MOTOROLA", "WAVE"}) {
        EXPECT_EQ(parse(std::string("FILE \"/dev/zero\" ") + type + "\n" + track),
                  "/dev/zero: error: can't open file, message: Illegal seek\n")
            << type;
    }
    ASSERT_EQ(mkfifo(dir.file("a.bin").c_str(), 0600), 0);
    EXPECT_EQ(parse(body), file_error("a.bin", "can't open file, message: Illegal seek"));
    std::filesystem::remove(dir.file("a.bin"));
    std::filesystem::create_directory(dir.file("a.bin"));
    EXPECT_EQ(parse(body), file_error("a.bin", "can't open file, message: Is a directory"));
    std::filesystem::remove(dir.file("a.bin"));

    raw();
    EXPECT_EQ(parse("CDTEXTFILE /dev/zero\n" + body), "/dev/zero: error: cannot open CD text file (/dev/zero)\n");
    // A link to a regular file is a regular file.
    std::filesystem::create_symlink(dir.file("a.bin"), dir.file("link.bin"));
    EXPECT_EQ(parse("FILE link.bin BINARY\n" + track), "");
    // A sheet that is a folder is refused as clearly.
    cuesheet_t other;
    auto o = test::capture([&] { EXPECT_THROW(cue_open(dir.path().c_str(), &other), fatal_error); });
    EXPECT_EQ(o.err, dir.path().string() + ": error: can't open file, message: Is a directory\n");
}

TEST(CueImage, SwapExchangesEveryPairAtAnyLengthAndAddress)
{
    // Lengths around the eight-byte words the swap works in, at every offset
    // within a word, against a plain pairwise exchange.
    std::array<unsigned char, 80> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t n = 0; n <= 64; ++n) {
            auto swapped = bytes;
            const int result = buffer_swap16(swapped.data() + offset, n);
            auto want = bytes;
            if (n % 2 == 0)
                for (std::size_t i = offset; i < offset + n; i += 2)
                    std::swap(want[i], want[i + 1]);
            EXPECT_EQ(result, static_cast<int>(n % 2)) << n << " bytes at offset " << offset;
            EXPECT_EQ(swapped, want) << n << " bytes at offset " << offset;
        }
    }
}

TEST_F(CueTest, ImagesOfManyBlocksKeepEveryByteInPlace)
{
    // Half a megabyte and more of audio that ends inside a CD sector: the
    // copy runs over several blocks and a short last one. Each kind of data
    // file must give the pregap, the audio in little-endian order, and the
    // padding, byte for byte.
    const std::string audio = test::generated_bytes(2352 * 500 + 4, 2024);
    std::string big_endian = audio;
    for (std::size_t i = 0; i < big_endian.size(); i += 2)
        std::swap(big_endian[i], big_endian[i + 1]);
    const std::string want = std::string(352800, '\0') + audio + std::string(2348, '\0');

    const struct {
        const char *sheet;
        const char *file;
        std::string bytes;
    } kinds[] = {
        {"FILE a.bin BINARY\n", "a.bin", audio},
        {"FILE a.be MOTOROLA\n", "a.be", big_endian},
        {"FILE a.wav WAVE\n", "a.wav", test::make_wave(audio)},
    };
    for (const auto &kind : kinds) {
        test::write_file(dir.file(kind.file), kind.bytes);
        const std::string err = parse(std::string(kind.sheet) + "TRACK 01 AUDIO\nINDEX 01 00:00:00\n");
        ASSERT_FALSE(refused) << err;
        ASSERT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 0) << kind.file;
        EXPECT_TRUE(test::read_file(dir.file("IMAGE.DAT")) == want) << kind.file;
        cue_close(&cue);
    }
}

TEST_F(CueTest, ImageCopyFailuresLeaveNoImage)
{
    raw("a.bin", 2352 * 400);
    ASSERT_EQ(parse(body), "");
    auto o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("nodir/IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("nodir/IMAGE.DAT") + ": No such file or directory\n");

    // The data file shrinks after it was measured.
    std::filesystem::resize_file(dir.file("a.bin"), 2352 * 100);
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("IMAGE.DAT") + ": the audio data file ended before all of its audio was read\n");
    EXPECT_FALSE(test::file_exists(dir.file("IMAGE.DAT")));

    // An image that cannot take its name: the finished copy goes, and nothing is left behind.
    ASSERT_EQ(parse(body), "");
    std::filesystem::create_directory(dir.file("IMAGE.DAT"));
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("IMAGE.DAT") + ": Is a directory\n");
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(is_unfinished_name(entry.path().filename().c_str())) << entry.path();
    std::filesystem::remove(dir.file("IMAGE.DAT"));

    cue.audio_size += 4;
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: internal error in cuesheet structure\n"
                     "Error: total frames  :          250\n"
                     "Error: total size    :       588000\n"
                     "Error: pregap to add :       352800\n"
                     "Error: audio size    :       235204\n"
                     "Error: total size    :       588004\n");
    EXPECT_FALSE(test::file_exists(dir.file("IMAGE.DAT")));
}

} // namespace
