#include "cueparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>

#include "log.h"
#include "test_support.h"

namespace {

/// One cue sheet parse in a scratch folder: the sheet is "a.cue", audio files are
/// written beside it.
class CueTest : public ::testing::Test {
protected:
    void TearDown() override { log_set_verbose(1); }

    /// Three minutes of raw audio: enough for most sheets.
    void raw(const std::string &name = "a.bin", std::size_t bytes = 3 * 60 * 75 * 2352)
    {
        std::string audio(bytes, '\0');
        for (std::size_t i = 0; i < audio.size(); i += 97)
            audio[i] = static_cast<char>(i);
        test::write_file(dir.file(name), audio);
    }

    /// Parses `sheet`; returns what was printed on standard error, and whether the parse was refused.
    std::string parse(const std::string &sheet)
    {
        test::write_file(dir.file("a.cue"), sheet);
        refused = false;
        auto o = test::capture([&] {
            try {
                cue_open(dir.file("a.cue").c_str(), &cue);
            } catch (const fatal_error &e) {
                EXPECT_EQ(e.status(), 1);
                refused = true;
            }
        });
        out = o.out;
        return o.err;
    }

    /// The diagnostic of an error on `line` of a.cue.
    std::string error(int line, const std::string &message) const
    {
        return dir.file("a.cue") + ":" + std::to_string(line) + ": error: " + message + "\n";
    }
    static std::string warning(int line, const std::string &message)
    {
        return "a.cue:" + std::to_string(line) + ": warning: " + message + "\n";
    }

    test::TempDir dir;
    cuesheet_t cue;
    bool refused = false;
    std::string out;
};

const std::string head = "FILE a.bin BINARY\nTRACK 01 AUDIO\n";

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
    EXPECT_EQ(smart_fgets(buf, 256, fp.get()), 0);
}

TEST(CueLines, TokensQuotesAndNumbers)
{
    char line[] = "  TITLE \"say \"hi\" now\" trailing\r\n";
    char *cursor = nullptr;
    EXPECT_STREQ(next_token(line, "\n\r\t ", 0, &cursor), "TITLE");
    EXPECT_STREQ(next_token(nullptr, "\n\r\t ", 1, &cursor), "say \"hi\" now");
    EXPECT_STREQ(next_token(nullptr, "\n\r\t ", 0, &cursor), "trailing");
    EXPECT_EQ(next_token(nullptr, "\n\r\t ", 0, &cursor), nullptr);

    char open[] = "FILE \"my song.wav WAVE\r\n";
    EXPECT_STREQ(next_token(open, "\n\r\t ", 0, &cursor), "FILE");
    EXPECT_STREQ(next_token(nullptr, "\n\r\t ", 1, &cursor), "my song.wav WAVE");
    EXPECT_EQ(next_token(nullptr, "\n\r\t ", 0, &cursor), nullptr);

    char unquoted[] = "TITLE\tHello World";
    EXPECT_STREQ(next_token(unquoted, "\n\r\t ", 0, &cursor), "TITLE");
    EXPECT_STREQ(next_token(nullptr, "\n\r\t ", 1, &cursor), "Hello");

    char blank[] = " \t\r\n";
    EXPECT_EQ(next_token(blank, "\n\r\t ", 0, &cursor), nullptr);

    EXPECT_EQ(is_number(""), 1);
    EXPECT_EQ(is_number("0099"), 1);
    EXPECT_EQ(is_number("9a"), 0);
    EXPECT_EQ(is_number("-1"), 0);
}

TEST_F(CueTest, WorkedExampleTwoTracksWithInsertedPregap)
{
    test::write_file(dir.file("album.wav"), test::make_wave(std::string(42336000, '\0')));
    const std::string err = parse("FILE album.wav WAVE\nTRACK 01 AUDIO\nTITLE One\nINDEX 01 00:00:00\n"
                                  "TRACK 02 AUDIO\nINDEX 00 03:10:00\nINDEX 01 03:12:00\n");
    ASSERT_FALSE(refused) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(cue.filetype, CUE_FILETYPE_WAVE);
    EXPECT_EQ(*cue.datafile, dir.file("album.wav"));
    EXPECT_EQ(*cue.cuefile, dir.file("a.cue"));
    const PQlist &pq = *cue.pq;
    ASSERT_EQ(pq_num_tracks(pq), 2);
    EXPECT_EQ(*pq_get_track(pq, 1)->title, "One");
    EXPECT_FALSE(pq.title);
    EXPECT_EQ(pq_get_track(pq, 1)->index[0], 0);
    EXPECT_EQ(pq_get_track(pq, 1)->index[1], 150);
    EXPECT_EQ(pq_get_track(pq, 2)->index[0], 14400);
    EXPECT_EQ(pq_get_track(pq, 2)->index[1], 14550);
    EXPECT_EQ(cue.pregap_size, 352800);
    EXPECT_EQ(cue.audio_size, 42336000);
    EXPECT_EQ(cue.padding_size, 0);
    EXPECT_EQ(pq.lead_out, 18150);
    EXPECT_EQ(std::ftell(cue.fp.get()), 44);
    cue_close(&cue);
    EXPECT_FALSE(cue.pq);
    EXPECT_FALSE(cue.fp);
}

TEST_F(CueTest, APregapInTheDataFileIsKept)
{
    raw();
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\nINDEX 01 00:02:00\n"), "");
    EXPECT_EQ(cue.pregap_size, 0);
    EXPECT_EQ(cue.pq->tracks->index[1], 150);
    EXPECT_EQ(cue.pq->lead_out, 3 * 60 * 75);
}

TEST_F(CueTest, EmptyAndCommentOnlySheets)
{
    EXPECT_EQ(parse(""), dir.file("a.cue") + ": error: no TRACK command found\n");
    EXPECT_TRUE(refused);
    EXPECT_EQ(parse("REM one\n\n   \nREM two\n"), error(4, "no TRACK command found"));
    EXPECT_EQ(parse("\xef\xbb\xbfREM byte order mark\n"),
              warning(1, "command ignored: '\xef\xbb\xbfREM'") + error(1, "no TRACK command found"));
}

TEST_F(CueTest, UnreadableSheets)
{
    test::TempDir other;
    cuesheet_t c;
    auto o = test::capture([&] {
        EXPECT_THROW(cue_open(other.file("missing.cue").c_str(), &c), fatal_error);
    });
    EXPECT_EQ(o.err, other.file("missing.cue") + ": error: can't open file, message: No such file or directory\n");
    o = test::capture([&] { EXPECT_THROW(cue_open(other.path().c_str(), &c), fatal_error); });
    EXPECT_EQ(o.err, other.path().string() + ": error: can't open file, message: Is a directory\n");
}

TEST_F(CueTest, LongLines)
{
    raw();
    const std::string rem254 = "REM " + std::string(250, 'x');
    EXPECT_EQ(parse(rem254 + "\n" + head + "INDEX 01 00:00:00\n"), "");
    EXPECT_EQ(parse(rem254 + "y\n" + head), error(1, "line is too long, maximum is 254 characters"));
    EXPECT_EQ(parse(head + "INDEX 01 00:00:00\n" + rem254 + "y"), "");
    EXPECT_EQ(parse(head + "INDEX 01 00:00:00\n" + rem254 + "yz"), error(4, "line is too long, maximum is 254 characters"));
    EXPECT_EQ(parse("FILE a.bin BINARY\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n"), "");
}

TEST_F(CueTest, CatalogChecks)
{
    raw();
    const std::string tail = head + "INDEX 01 00:00:00\n";
    EXPECT_EQ(parse("CATALOG 4006381333931\n" + tail), "");
    EXPECT_STREQ(cue.pq->upc_ean.data(), "4006381333931");
    EXPECT_EQ(parse("CATALOG 400638133393\n" + tail), warning(1, "catalog number's check digit is wrong: 400638133393"));
    EXPECT_FALSE(refused);
    EXPECT_STREQ(cue.pq->upc_ean.data(), "400638133393");
    EXPECT_EQ(parse("CATALOG 4006381333932\n" + tail), warning(1, "catalog number's check digit is wrong: 4006381333932"));
    EXPECT_EQ(parse("CATALOG 40063813339A1\n"),
              error(1, "malformed catalog number: 40063813339A1, should be exactly 13 digits"));
    EXPECT_EQ(parse("CATALOG 40063813339310\n"),
              error(1, "malformed catalog number: 40063813339310, should be exactly 13 digits"));
    EXPECT_EQ(parse("CATALOG\n"), error(1, "no number found after CATALOG"));
    EXPECT_EQ(parse("CATALOG 4006381333931\nCATALOG 4006381333931\n"), error(2, "multiple CATALOG commands found"));
    EXPECT_EQ(parse(head + "CATALOG 4006381333931\n"), error(3, "CATALOG command in TRACK section"));
}

TEST_F(CueTest, FileChecks)
{
    raw("my song.bin");
    EXPECT_EQ(parse("FILE \"my song.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"), "");
    EXPECT_EQ(*cue.datafile, dir.file("my song.bin"));
    EXPECT_EQ(parse("FILE my song.wav\n"), error(1, "file type not supported: song.wav"));
    EXPECT_EQ(parse("FILE \"my song.wav WAVE\n"), error(1, "missing file type after FILE command"));
    EXPECT_EQ(parse("FILE \"\" WAVE\n"), error(1, "missing filename after FILE command"));
    EXPECT_EQ(parse("FILE\n"), error(1, "missing filename after FILE command"));
    EXPECT_EQ(parse("FILE a.bin\n"), error(1, "missing file type after FILE command"));
    EXPECT_EQ(parse("FILE a.bin wave\n"), error(1, "file type not supported: wave"));
    EXPECT_EQ(parse("FILE a.bin BINARY\nFILE a.bin BINARY\n"), error(2, "multiple FILE commands are not suppurted"));
    EXPECT_EQ(parse(head + "FILE a.bin BINARY\n"), error(3, "multiple FILE commands are not suppurted"));
}

TEST_F(CueTest, TrackChecks)
{
    raw();
    const std::string i1 = "INDEX 01 00:00:00\n";
    for (const char *number : {"1", "01", "001"})
        EXPECT_EQ(parse(std::string("FILE a.bin BINARY\nTRACK ") + number + " AUDIO\n" + i1), "") << number;
    EXPECT_EQ(parse("FILE a.bin BINARY\nTRACK 01 AUDIO\n" + i1 + "TRACK 03 AUDIO\nINDEX 01 01:00:00\n"),
              warning(4, "wrong track number, found 03, expected 02"));
    EXPECT_EQ(pq_num_tracks(*cue.pq), 2);
    EXPECT_EQ(parse("FILE a.bin BINARY\nTRACK x AUDIO\n" + i1),
              warning(2, "malformed track number: x") + warning(2, "track number out of range: x") +
                  warning(2, "wrong track number, found 00, expected 01"));
    EXPECT_FALSE(refused);
    EXPECT_EQ(parse("TRACK 01 AUDIO\n"), error(1, "missing FILE command before first TRACK command"));
    EXPECT_EQ(parse("FILE a.bin BINARY\nTRACK\n"), error(2, "missing track number"));
    EXPECT_EQ(parse("FILE a.bin BINARY\nTRACK 01\n"), error(2, "missing track type"));
    EXPECT_EQ(parse("FILE a.bin BINARY\nTRACK 01 MODE1/2352\n"), error(2, "unsupported track type: MODE1/2352"));
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\nTRACK 02 AUDIO\n"), error(4, "missing INDEX 01 in track 01"));
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\n"), error(3, "missing INDEX 01 track 01"));
    EXPECT_EQ(parse("track 01 audio\n"), warning(1, "command ignored: 'track'") + error(1, "no TRACK command found"));

    std::string hundred = "FILE a.bin BINARY\n";
    for (int t = 1; t <= 100; ++t) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "TRACK %02d AUDIO\nINDEX 01 00:%02d:%02d\n", t, t / 75, t % 75);
        hundred += buf;
    }
    hundred.replace(hundred.find("INDEX 01 00:00:01"), 17, "INDEX 01 00:00:00");
    EXPECT_EQ(parse(hundred), warning(200, "track number out of range: 100") + error(200, "more than 99 tracks found"));
}

TEST_F(CueTest, IsrcChecks)
{
    raw();
    EXPECT_EQ(parse(head + "INDEX 01 00:00:00\nISRC USRC17607839\n"), "");
    EXPECT_STREQ(cue.pq->tracks->isrc.data(), "USRC17607839");
    EXPECT_EQ(parse("ISRC USRC17607839\n"), error(1, "ISRC command before first TRACK command"));
    EXPECT_EQ(parse(head + "ISRC USRC17607839\nISRC USRC17607839\n"), error(4, "multiple ISRC commands found in track 01"));
    EXPECT_EQ(parse(head + "ISRC\n"), error(3, "missing argument for ISRC command in track 01"));
    EXPECT_EQ(parse(head + "ISRC US-RC1-76-07839\n"), error(3, "malformed ISRC code in track 01: US-RC1-76-07839"));
}

TEST_F(CueTest, FlagsChecks)
{
    raw();
    EXPECT_EQ(parse(head + "FLAGS PRE\nFLAGS 4CH SCMS\nFLAGS\nINDEX 01 00:00:00\n"), "");
    EXPECT_EQ(cue.pq->tracks->flags, PQ_FLAG_PRE | PQ_FLAG_4CH | PQ_FLAG_SCMS);
    EXPECT_EQ(parse(head + "FLAGS DATA PRE\nINDEX 01 00:00:00\n"), warning(3, "unknown flag in track 01: DATA"));
    EXPECT_EQ(cue.pq->tracks->flags, PQ_FLAG_PRE);
    EXPECT_EQ(parse("FLAGS PRE\n"), error(1, "FLAGS command before first TRACK command"));
    EXPECT_EQ(parse(head + "INDEX 01 00:00:00\nFLAGS PRE\n"), error(4, "FLAGS command after INDEX command in track 1"));
    EXPECT_EQ(parse(head + "FLAGS DCP SCMS\n"),
              error(3, "cannot have flag DCP and SCMS specified for the same track (1)"));
    EXPECT_EQ(parse(head + "FLAGS DCP\nFLAGS SCMS\n"),
              error(4, "cannot have flag DCP and SCMS specified for the same track (1)"));
}

TEST_F(CueTest, IndexChecks)
{
    raw();
    EXPECT_EQ(parse("INDEX 01 00:00:00\n"), error(1, "INDEX command before first TRACK command"));
    EXPECT_EQ(parse(head + "INDEX\n"), error(3, "no number found after INDEX command in track 01"));
    EXPECT_EQ(parse(head + "INDEX x1 00:00:00\n"), error(3, "malformed index number in track 01: x1\n"));
    EXPECT_EQ(parse(head + "INDEX 02 00:00:00\n"), error(3, "first index should not be 02 in track 01, but 0 or 1"));
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\nINDEX 02 00:02:00\n"),
              error(4, "index out of sequence, found 02, expected 01"));
    EXPECT_EQ(parse(head + "INDEX 01\n"), error(3, "no time given for index 01 in track 01"));
    EXPECT_EQ(parse(head + "INDEX 01 0:0\n"),
              error(3, "malformed time for index 01 in track 01: 0:0, should be formatted as mm:ss:ff"));
    EXPECT_EQ(parse(head + "INDEX 01 00:00:01\n"), error(3, "first index in first track must be at 00:00:00, found 00:00:01"));
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\nINDEX 01 00:00:00\n"),
              error(4, "index at 00:00:00 should be later than pervious index  at 00:00:00"));
    EXPECT_EQ(parse(head + "INDEX 00 00:00:00\nINDEX 01 00:02:00\nINDEX 02 0:2:0\n"),
              error(5, "index at 0:2:0 should be later than pervious index  at 00:02:00"));

    // Index numbers run up to 99; the 101st INDEX of a track is refused before it is stored.
    std::string many = head;
    for (int i = 0; i <= 100; ++i) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "INDEX %02d 00:%02d:%02d\n", i, i / 75, i % 75);
        many += buf;
    }
    EXPECT_EQ(parse(many), error(103, "index 100 in track 01 is out of range, the last index is 99"));
}

TEST_F(CueTest, TitlePerformerSongwriterChecks)
{
    raw();
    EXPECT_EQ(parse("TITLE \"Disc \"Live\" Album\"\nPERFORMER Band Name\nSONGWRITER \"\"\n" + head +
                    "TITLE \"Song\"\nPERFORMER \"Caf\xe9\"\nINDEX 01 00:00:00\n"),
              "");
    EXPECT_EQ(*cue.pq->title, "Disc \"Live\" Album");
    EXPECT_EQ(*cue.pq->performer, "Band");
    EXPECT_EQ(*cue.pq->songwriter, "");
    EXPECT_EQ(*cue.pq->tracks->title, "Song");
    EXPECT_EQ(*cue.pq->tracks->performer, "Caf\xe9");
    EXPECT_EQ(parse("TITLE \"\"\nTITLE x\n"), error(2, "multiple 'TITLE' commands in global section"));
    EXPECT_EQ(parse("PERFORMER a\nPERFORMER b\n"), error(2, "multiple 'PERFORMER' commands in global section"));
    EXPECT_EQ(parse("SONGWRITER a\nSONGWRITER b\n"), error(2, "Multiple 'SONGWRITER' commands in global section"));
    EXPECT_EQ(parse(head + "TITLE a\nTITLE b\n"), error(4, "multiple 'TITLE' commands for track 1"));
    EXPECT_EQ(parse(head + "PERFORMER a\nPERFORMER b\n"), error(4, "multiple 'PERFORMER' commands for track 1"));
    EXPECT_EQ(parse(head + "SONGWRITER a\nSONGWRITER b\n"), error(4, "Multiple 'SONGWRITER' commands for track 1"));
    EXPECT_EQ(parse("TITLE\n"), error(1, "missing text after TITLE command"));
    EXPECT_EQ(parse(head + "SONGWRITER \t\r\n"), error(3, "missing text after SONGWRITER command"));
    // An unclosed quote keeps the rest of the line but not its line end.
    EXPECT_EQ(parse("TITLE \"Open ended\r\n" + head + "INDEX 01 00:00:00\n"), "");
    EXPECT_EQ(*cue.pq->title, "Open ended");
}

TEST_F(CueTest, UnsupportedAndUnknownCommands)
{
    raw();
    EXPECT_EQ(parse(head + "PREGAP 00:02:00\n"), error(3, "PREGAP command is not supported"));
    EXPECT_EQ(parse(head + "POSTGAP 00:02:00\n"), error(3, "POSTGAP command is not supported"));
    std::filesystem::create_directory(dir.file("sub"));
    raw("sub/a.bin");
    test::write_file(dir.file("sub/a.cue"), "FOO bar\n" + head + "INDEX 01 00:00:00\n");
    auto o = test::capture([&] { cue_open(dir.file("sub/a.cue").c_str(), &cue); });
    EXPECT_EQ(o.err, "a.cue:1: warning: command ignored: 'FOO'\n");
    EXPECT_EQ(*cue.datafile, dir.file("sub/a.bin"));
}

TEST_F(CueTest, RawAudioSizesAndPadding)
{
    const std::string sheet = head + "INDEX 01 00:00:00\n";
    raw("a.bin", 4);
    auto err = parse(sheet);
    EXPECT_EQ(err, "a.bin: warning: audio does not end at a CD sector boundary, adding 2348 bytes of silence\n");
    EXPECT_EQ(cue.padding_size, 2348);
    EXPECT_EQ(cue.pq->lead_out, 151);

    raw("a.bin", 2);
    EXPECT_EQ(parse(sheet), dir.file("a.bin") +
                                ": error: audio stops in the middle of a sample frame, this files is broken, audio "
                                "length: 2\n");
    raw("a.bin", 2352 * 7);
    EXPECT_EQ(parse(sheet), "");
    EXPECT_EQ(cue.padding_size, 0);
    EXPECT_EQ(cue.pq->lead_out, 157);

    std::filesystem::remove(dir.file("a.bin"));
    EXPECT_EQ(parse(sheet), dir.file("a.bin") + ": error: can't open file, message: No such file or directory\n");
    std::filesystem::create_directory(dir.file("a.bin"));
    EXPECT_EQ(parse(sheet), dir.file("a.bin") + ": error: can't open file, message: Is a directory\n");
}

TEST_F(CueTest, NotEnoughAudioForTheLastIndex)
{
    const std::string sheet = head + "INDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 03:00:00\n";
    raw("a.bin", 13500L * 2352);
    EXPECT_EQ(parse(sheet), "");
    EXPECT_EQ(cue.pq->lead_out, 13650);
    raw("a.bin", 13499L * 2352);
    EXPECT_EQ(parse(sheet),
              dir.file("a.bin") + ": error: not enough audio data, file ends at 03:01:74, but we need at least 03:02:00.\n");
}

TEST_F(CueTest, WaveFormatRefusals)
{
    const std::string sheet = "FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n";
    const std::string audio(2352 * 200, '\0');
    const std::string prefix = dir.file("a.wav") + ": error: ";
    test::write_file(dir.file("a.wav"), test::make_wave(audio, 1, 2, 48000, 16));
    EXPECT_EQ(parse(sheet), prefix + "wrong sample rate in wave file (48000).\n");
    test::write_file(dir.file("a.wav"), test::make_wave(audio, 1, 1, 44100, 16));
    EXPECT_EQ(parse(sheet), prefix + "wrong number of channels in wave file (1).\n");
    test::write_file(dir.file("a.wav"), test::make_wave(audio, 3, 2, 44100, 32));
    EXPECT_EQ(parse(sheet), prefix + "wave file is not (fixed point) PCM data, found: 03\n");
    test::write_file(dir.file("a.wav"), test::make_wave(audio, 0xFFFE, 2, 44100, 16));
    EXPECT_EQ(parse(sheet), prefix + "wave file is not (fixed point) PCM data, found: FFFE\n");
    test::write_file(dir.file("a.wav"), test::make_wave(audio, 1, 2, 44100, 24));
    EXPECT_EQ(parse(sheet), prefix + "wrong sample width in wave file (24).\n");
    // A data chunk that claims more than the file holds.
    std::string cut = test::make_wave(audio);
    cut.resize(cut.size() - 1000);
    test::write_file(dir.file("a.wav"), cut);
    EXPECT_EQ(parse(sheet), prefix + "wave file is truncated: its data chunk holds 470400 bytes, but only 469400 are in "
                                     "the file\n");
}

TEST_F(CueTest, SheetFromStandardInputResolvesAgainstTheCurrentDirectory)
{
    raw();
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    test::write_file(dir.file("stdin.cue"), head + "INDEX 01 00:00:00\n");
    std::FILE *saved = stdin;
    stdin = std::fopen(dir.file("stdin.cue").c_str(), "rb");
    auto o = test::capture([&] { cue_open("-", &cue); });
    std::fclose(stdin);
    stdin = saved;
    std::filesystem::current_path(cwd);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(*cue.cuefile, "-");
    EXPECT_EQ(*cue.datafile, "a.bin");
}

TEST(CueImage, SwapExchangesTheBytesOfEvenBlocksOnly)
{
    unsigned char odd[] = {1, 2, 3};
    EXPECT_EQ(buffer_swap16(odd, 3), 1);
    EXPECT_EQ(odd[0], 1);
    unsigned char even[] = {1, 2, 3, 4};
    EXPECT_EQ(buffer_swap16(even, 0), 0);
    EXPECT_EQ(buffer_swap16(even, 4), 0);
    EXPECT_EQ((std::array<int, 4>{even[0], even[1], even[2], even[3]}), (std::array<int, 4>{2, 1, 4, 3}));
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
    std::string audio(2352 * 500 + 4, '\0');
    std::uint32_t seed = 2024;
    for (auto &c : audio) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
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
        const std::string image = test::read_file(dir.file("IMAGE.DAT"));
        ASSERT_EQ(image.size(), want.size()) << kind.file;
        EXPECT_TRUE(image == want) << kind.file << ": first difference at byte "
                                   << std::distance(image.begin(), std::mismatch(image.begin(), image.end(),
                                                                                 want.begin()).first);
        cue_close(&cue);
    }
}

TEST_F(CueTest, ImageIsPregapAudioAndPadding)
{
    test::write_file(dir.file("a.be"), std::string("\x01\x02\x03\x04", 4));
    ASSERT_EQ(parse("FILE a.be MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n").find("error"), std::string::npos);
    EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 0);
    EXPECT_EQ(test::read_file(dir.file("IMAGE.DAT")),
              std::string(352800, '\0') + std::string("\x02\x01\x04\x03", 4) + std::string(2348, '\0'));
}

TEST_F(CueTest, ImageCopyFailuresLeaveNoImage)
{
    raw("a.bin", 2352 * 400);
    ASSERT_EQ(parse(head + "INDEX 01 00:00:00\n"), "");
    auto o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("nodir/IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("nodir/IMAGE.DAT") + ": No such file or directory\n");

    // The data file shrinks after it was measured.
    std::filesystem::resize_file(dir.file("a.bin"), 2352 * 100);
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("IMAGE.DAT") + ": the audio data file ended before all of its audio was read\n");
    EXPECT_FALSE(test::file_exists(dir.file("IMAGE.DAT")));

    // A disk that fills up.
    ASSERT_EQ(parse(head + "INDEX 01 00:00:00\n"), "");
    // (Through a link, so that removing the failed image removes the link, not the device.)
    std::filesystem::create_symlink("/dev/full", dir.file("full"));
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("full").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("full") + ": No space left on device\n");
    EXPECT_FALSE(test::file_exists(dir.file("full")));

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

TEST_F(CueTest, SummaryOfARawDiscWithPadding)
{
    raw("a.bin", 1000000);
    parse(head + "INDEX 01 00:00:00\n");
    log_set_verbose(0);
    auto o = test::capture([&] { cue_summary(&cue); });
    EXPECT_EQ(o.out.substr(0, o.out.find("*** PQ Listing")),
              "=== CUE IMAGE SUMMARY ===\nCue file : " + dir.file("a.cue") + "\n*** Audio data ***\nFile name: " +
                  dir.file("a.bin") +
                  "\nFile type: raw (little endian)\nStarts at: 00:00:02.000\nEnds at  : 00:00:07.668\n"
                  "Length   : 00:00:05.668\nPadding : 00:00:00.011 (1952 bytes)\n");
    EXPECT_EQ(o.out.find("*** CD Text ***"), std::string::npos);
}

TEST_F(CueTest, SummaryOfAThreeMinuteDisc)
{
    raw();
    parse("FILE a.bin MOTOROLA\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    auto o = test::capture([&] { cue_summary(&cue); });
    EXPECT_NE(o.out.find("File type: raw (big endian)\nStarts at: 00:00:02.000\nEnds at  : 00:03:02.000\n"
                         "Length   : 00:03:00.000\n*** PQ Listing ***\n"),
              std::string::npos)
        << o.out;
}

} // namespace
