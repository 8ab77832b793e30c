#include "cueparser.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <utility>

#include "image_copy.h"
#include "log.h"
#include "safe_output.h"
#include "test_support.h"

// The whole-run behaviour of the parser (the worked example, the summary, the WAVE format
// refusals, a sheet on standard input, the forms rippers write, several files, PREGAP and
// POSTGAP) is checked by the golden cases and tests/e2e_cuesheets.py; these tests go through
// every command's checks.

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

TEST_F(CueTest, EveryCommandCheck)
{
    raw();
    const std::string rem254 = "REM " + std::string(250, 'x');
    const std::pair<std::string, std::string> rows[] = {
        {"REM one\n\n   \nREM two\n", E(4, "no TRACK command found")},
        // Commands and their words in any case, with one warning; an unknown one is ignored in any case.
        {"file a.bin binary\nTrack 01 Audio\nfoo\nindex 01 00:00:00\nflags pre\n",
         W(1, "'file' is not written in capitals: commands and their words are read in any case") +
             W(3, "command ignored: 'foo'") + W(5, "FLAGS command after INDEX command in track 1: the flags are the whole track's")},
        // A line holds at most 254 characters; a longer comment is skipped, anything else refused.
        {rem254 + "\n" + body, ""},
        {"TITLE " + std::string(249, 'x') + "\n" + head, E(1, "line is too long, maximum is 254 characters")},
        {body + rem254 + "y", ""},
        {body + "TITLE " + std::string(250, 'x'), E(4, "line is too long, maximum is 254 characters")},
        // CATALOG
        {"CATALOG 40063813339310\n", E(1, "malformed catalog number: 40063813339310, should be exactly 13 digits")},
        {"CATALOG\n", E(1, "no number found after CATALOG")},
        // A number printed in groups, and a 12-digit UPC-A whose check digit proves it; one it does not prove stays.
        {"CATALOG \"4 006381 333931\"\n" + body,
         W(1, "catalog number \"4 006381 333931\" read as 4006381333931 (blanks removed)")},
        {"CATALOG 0 36000 29145 2\n" + body,
         W(1, "catalog number 0 36000 29145 2 read as 0036000291452 (blanks removed, a 12-digit UPC-A given its leading 0)")},
        {"CATALOG 4 006381 33393x\n", E(1, "malformed catalog number: 4, should be exactly 13 digits")},
        {"CATALOG 4006381333931\nCATALOG 4006381333931\n", E(2, "multiple CATALOG commands found")},
        {head + "CATALOG 4006381333931\n", E(3, "CATALOG command in TRACK section")},
        // CDTEXTFILE
        {head + "CDTEXTFILE \"t.cdt\"\n", E(3, "found CDTEXTFILE command in track section")},
        {"CDTEXTFILE a.cdt\nCDTEXTFILE b.cdt\n", E(2, "multiple CDTEXTFILE commands found")},
        {"CDTEXTFILE \"\"\n", E(1, "missing filename after CDTEXTFILE command")},
        // FILE
        // An unquoted name runs to the last word, the type; FLAC is a type whose content decides.
        {"FILE my song.wav\n", E(1, "file type not supported: song.wav")},
        {"FILE my a.bin  FLAC \n" + body.substr(body.find('\n') + 1),
         W(1, "unquoted file name with blanks, read as \"my a.bin\"") + file_error("my a.bin", "can't open file, message: No such file or directory")},
        // A drive-letter path belongs to another machine: it is not joined to the sheet's folder, and is named as written.
        {"FILE \"d:\\Music\\gone.bin\" BINARY\n" + body.substr(body.find('\n') + 1),
         "d:\\Music\\gone.bin: error: can't open file, message: No such file or directory\n"},
        {"FILE \"my song.wav WAVE\n", E(1, "missing file type after FILE command")},
        {"FILE \"\" WAVE\n", E(1, "missing filename after FILE command")},
        // TRACK
        // A track the sheet numbers otherwise is named by both numbers; the renumbering is listed once.
        {body + "TRACK 03 AUDIO\nINDEX 01 01:00:00\n", "a.cue: warning: the disc numbers its tracks from 01: TRACK 03 -> 02\n"},
        {body + "TRACK 03 AUDIO\nISRC\n", E(5, "missing argument for ISRC command in track 03 (disc track 02)")},
        {body + "TRACK 3 AUDIO\nPERFORMER a\nPERFORMER b\n", E(6, "multiple 'PERFORMER' commands for track 3 (disc track 2)")},
        {"FILE a.bin BINARY\nTRACK x AUDIO\nINDEX 01 00:00:00\n",
         W(2, "malformed track number: x") + W(2, "track number out of range: x") +
             "a.cue: warning: the disc numbers its tracks from 01: TRACK x -> 01\n"},
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
        {head + "FLAGS DCP\nFLAGS SCMS\n", E(4, "cannot have flag DCP and SCMS specified for the same track (1)")},
        // INDEX
        {"INDEX 01 00:00:00\n", E(1, "INDEX command before first TRACK command")},
        {head + "INDEX\n", E(3, "no number found after INDEX command in track 01")},
        {head + "INDEX x1 00:00:00\n", E(3, "malformed index number in track 01: x1\n")},
        {head + "INDEX 02 00:00:00\n", E(3, "first index should not be 02 in track 01, but 0 or 1")},
        {head + "INDEX 00 00:00:00\nINDEX 02 00:02:00\n", E(4, "index out of sequence, found 02, expected 01")},
        {head + "INDEX 01\n", E(3, "no time given for index 01 in track 01")},
        {head + "INDEX 01 0:0\n", E(3, "malformed time for index 01 in track 01: 0:0, should be formatted as mm:ss:ff")},
        // A first INDEX 01 after 00:00:00 makes the audio before it the pregap; an INDEX 00 there is refused.
        {head + "INDEX 01 00:00:01\n", W(3, "track 01 starts at 00:00:01 without INDEX 00: the audio before it is its pregap") +
                                           "a.cue: warning: track 01 starts 00:00:01 into its file, less than the two seconds "
                                           "before it on a disc: two seconds of silence are added before the audio\n"},
        {head + "INDEX 00 00:00:01\n", E(3, "first index in first track must be at 00:00:00, found 00:00:01")},
        {head + "INDEX 00 00:00:00\nINDEX 01 00:00:00\n",
         E(4, "index at 00:00:00 should be later than pervious index  at 00:00:00")},
        // TITLE, PERFORMER, SONGWRITER
        {"TITLE \"\"\nTITLE x\n", E(2, "multiple 'TITLE' commands in global section")},
        {head + "PERFORMER a\nPERFORMER b\n", E(4, "multiple 'PERFORMER' commands for track 1")},
        {"SONGWRITER a\nSONGWRITER b\n", E(2, "Multiple 'SONGWRITER' commands in global section")},
        {head + "SONGWRITER \t\r\n", E(3, "missing text after SONGWRITER command")},
        // PREGAP before INDEX 01 and without INDEX 00, POSTGAP after the last index
        {body + "PREGAP 00:02:00\n", E(4, "PREGAP command after INDEX 01 in track 01")},
        {head + "POSTGAP 00:02:00\n", E(3, "POSTGAP command before INDEX 01 in track 01")},
        {head + "INDEX 00 00:00:00\nPREGAP 00:02:00\n", E(4, "PREGAP and INDEX 00 both give track 01 a pregap")},
        {head + "PREGAP 1:2:3\nPREGAP 00:00:01\n", E(4, "multiple PREGAP commands in track 01")},
        {body + "POSTGAP 00:02:00\nINDEX 02 00:03:00\n", E(5, "INDEX command after POSTGAP in track 01")},
        {head + "PREGAP 0:60:0\n", E(3, "malformed time for PREGAP in track 01: 0:60:0, should be formatted as mm:ss:ff")},
        // The audio: whole sample frames, and an index at most at the end of the audio.
        {"FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 03:00:00\n", ""},
        {"FILE a.bin BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 03:00:01\n",
         file_error("a.bin", "not enough audio data, file ends at 03:02:00, but we need at least 03:02:01.")},
    };
    for (const auto &[sheet, expected] : rows) {
        SCOPED_TRACE(sheet);
        EXPECT_EQ(parse(sheet), expected);
        EXPECT_EQ(refused, expected.find(": error: ") != std::string::npos);
    }
    raw("a.bin", 2);
    EXPECT_EQ(parse(body),
              file_error("a.bin", "audio stops in the middle of a sample frame, this files is broken, audio length: 2"));
}

TEST_F(CueTest, LimitsOfTracksAndIndexesAndWhatTheCommandsStore)
{
    raw();
    // 100 tracks, and a track of 101 index points: the last of each is refused before it is stored.
    std::string tracks = "FILE a.bin BINARY\n", indexes = head;
    for (int n = 0; n <= 100; ++n) {
        char time[32]; // more than the 18 bytes the compiler cannot rule out for these two values
        std::snprintf(time, sizeof time, "00:%02d:%02d\n", n / 75, n % 75);
        tracks += n < 100 ? "TRACK " + std::to_string(n + 1) + " AUDIO\nINDEX 01 " + time : "";
        indexes += (n < 10 ? "INDEX 0" : "INDEX ") + std::to_string(n) + " " + time;
    }
    EXPECT_EQ(parse(tracks), W(200, "track number out of range: 100") + E(200, "more than 99 tracks found"));
    EXPECT_EQ(parse(indexes), E(103, "index 100 in track 01 is out of range, the last index is 99"));

    raw("my song.bin");
    ASSERT_EQ(parse("CATALOG 400638133393\nTITLE \"Disc \"Live\" Album\"\nPERFORMER Band Name\nSONGWRITER \"\"\n"
                    "FILE \"my song.bin\" BINARY\nTRACK 01 AUDIO\nFLAGS PRE\nFLAGS 4CH SCMS\nFLAGS\n"
                    "TITLE \"Caf\xe9\nINDEX 00 00:00:00\nINDEX 01 00:02:00\nISRC USRC17607839\n"
                    "TRACK 03 AUDIO\nINDEX 01 01:00:00\n"),
              W(1, "catalog number's check digit is wrong: 400638133393") +
                  "a.cue: warning: the disc numbers its tracks from 01: TRACK 03 -> 02\n");
    // The catalog number stored with its wrong check digit; a quoted text up to the line's last quote, an unquoted
    // one to the line's end; flags of several lines.
    const PQlist &pq = *cue.pq;
    const PQtrack &t1 = *pq.tracks;
    EXPECT_EQ(std::tuple(cue.files.at(0).path, std::string(pq.upc_ean.data()), *pq.title, *pq.performer, *pq.songwriter,
                         *t1.title, std::string(t1.isrc.data()), t1.flags),
              std::tuple(dir.file("my song.bin"), "400638133393", "Disc \"Live\" Album", "Band Name", "", "Caf\xe9",
                         "USRC17607839", PQ_FLAG_PRE | PQ_FLAG_4CH | PQ_FLAG_SCMS));
    // Track 1 brings its own pregap: nothing is inserted, and the third track is the second.
    EXPECT_EQ(std::tuple(cue.pregap_size, t1.index[1], pq_num_tracks(pq), pq_get_track(pq, 2)->index[1]),
              std::tuple(0, 150, 2, 4500));
}

TEST_F(CueTest, ImageCopyFailuresLeaveNoImage)
{
    // The data file shrinks after it was measured.
    raw("a.bin", 2352 * 400);
    ASSERT_EQ(parse(body), "");
    std::filesystem::resize_file(dir.file("a.bin"), 2352 * 100);
    auto o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("a.bin") + " ended at byte 235200, while korvel was copying it; it was 940800 "
                     "bytes when the run started\n");
    EXPECT_FALSE(test::file_exists(dir.file("IMAGE.DAT")));

    // An image that cannot take its name: the finished copy goes, and nothing is left behind.
    ASSERT_EQ(parse(body), "");
    std::filesystem::create_directory(dir.file("IMAGE.DAT"));
    o = test::capture([&] { EXPECT_EQ(cue_copy_audio(&cue, dir.file("IMAGE.DAT").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + dir.file("IMAGE.DAT") + ": Is a directory\n");
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(is_unfinished_name(entry.path().filename().c_str())) << entry.path();
}

} // namespace
