#include "pqlist.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "tolk_utils.h"

namespace {

TEST(DiscTime, FramesMsfAndTextAgreeUpTo89_59_74)
{
    char buf[9];
    for (const auto &[frames, text] : {std::pair<long, const char *>{0, "00:00:00"}, {150, "00:02:00"},
                                       {4653, "01:02:03"}, {404999, "89:59:74"}}) {
        std::uint8_t m, s, f;
        frames2msf(frames, &m, &s, &f);
        EXPECT_EQ(test::capture([&] { frames2str(frames, buf); }).err, "") << text;
        EXPECT_STREQ(buf, text);
        EXPECT_EQ(msf2frames(m, s, f), frames) << text;
        EXPECT_EQ(str2frames(text), frames) << text;
    }
    EXPECT_EQ((std::array<long, 3>{msf2frames(90, 0, 0), msf2frames(0, 60, 0), msf2frames(0, 0, 75)}),
              (std::array<long, 3>{-1, -1, -1}));
    // Ninety minutes do not fit on a disc: the minutes become 99, with a warning.
    EXPECT_EQ(test::capture([&] { frames2str(405000, buf); }).err, "Warning: frames2msf(): minutes out of range (90)\n");
    EXPECT_STREQ(buf, "99:00:00");

    // Time texts take one to three digits per field, and nothing else.
    EXPECT_EQ((std::array<long, 2>{str2frames("1:2:3"), str2frames("075:00:00")}), (std::array<long, 2>{4653, 337500}));
    for (const char *bad : {"00:02", "00:00:00:00", "0000:00:00", ":00:00", "00::00", "00:00:", " 00:00:00",
                            "00:00:00 ", "", "90:00:00", "00:60:00", "00:00:75", "00:300:00", "-1:00:00",
                            "00:0a:00", "00:00:1:"})
        EXPECT_EQ(str2frames(bad), -1) << '"' << bad << '"';
}

TEST(Codes, Ean13CheckDigitAndIsrcShape)
{
    // 400638133393 has the check digit 1; the completed code comes back whenever twelve digits lead.
    const std::tuple<const char *, int, const char *> ean[] = {
        {"4006381333931", 0, "4006381333931"},  {"4006381333932", 1, "4006381333931"},
        {"400638133393", 1, "4006381333931"},   {"400638133393x", 1, "4006381333931"},
        {"40063813339310", 2, "4006381333931"}, {"40063813339A1", 2, ""},
        {"40063813339", 2, ""},                 {nullptr, 2, ""},
        {"0000000000000", 0, "0000000000000"}};
    for (const auto &[code, result, completed] : ean) {
        char out[14] = {};
        EXPECT_EQ(ean13_validate(code, out), result) << (code ? code : "null");
        EXPECT_STREQ(out, completed);
    }
    EXPECT_EQ(ean13_validate("4006381333931", nullptr), 0);

    const std::pair<const char *, int> isrc[] = {
        {"USRC17607839", 1}, {"DE1230000001", 1},  {"GBA1B2300001", 1},  {"uSRC17607839", 0},
        {"USRC1A607839", 0}, {"1SRC17607839", 0},  {"USRC1760783", 0},   {"USRC176078391", 0},
        {"USrc17607839", 0}, {"US-RC1-76-07839", 0}, {nullptr, 0}};
    for (const auto &[code, valid] : isrc)
        EXPECT_EQ(isrc_is_valid(code), valid) << (code ? code : "null");
}

// Tracks as {index 0, index 1} positions (-1 for none), the lead-out and the catalog number.
std::unique_ptr<PQlist> disc(std::initializer_list<std::pair<long, long>> tracks, long lead_out, const char *upc = "")
{
    auto pq = pq_new();
    for (const auto &[index0, index1] : tracks) {
        PQtrack *t = new_track(*pq);
        t->index[0] = index0;
        t->index[1] = index1;
    }
    pq->lead_out = lead_out;
    std::snprintf(pq->upc_ean.data(), pq->upc_ean.size(), "%s", upc);
    return pq;
}

// Track 2 has a pause from 1000 and starts at 1150.
std::unique_ptr<PQlist> two_tracks() { return disc({{0, 150}, {1000, 1150}}, 5000); }

// {track 1 index 0, track 1 index 1, track 2 index 0, track 2 index 1, lead-out}
std::array<long, 5> positions(const PQlist &pq)
{
    const PQtrack &t1 = *pq.tracks, &t2 = *t1.next;
    return {t1.index[0], t1.index[1], t2.index[0], t2.index[1], pq.lead_out};
}

TEST(PQList, QueriesAndOperations)
{
    auto empty = pq_new();
    EXPECT_TRUE(pq_get_track(*empty, 1) == nullptr && pq_track_title(*empty, 1) == nullptr);
    EXPECT_EQ((std::array<long, 5>{empty->lead_out, pq_num_tracks(*empty), pq_track_start(*empty, 1),
                                   pq_track_length(*empty, 1, 0), pq_get_first_pregap(*empty)}),
              (std::array<long, 5>{-1, 0, -1, -1, 0}));
    EXPECT_EQ(pq_has_title(*empty) + pq_has_performer(*empty) + pq_has_songwriter(*empty) + pq_has_cdtext(*empty), 0);

    auto pq = two_tracks();
    EXPECT_EQ((std::array<long, 2>{pq_num_tracks(*pq), pq_track_start(*pq, 2)}), (std::array<long, 2>{2, 1150}));
    for (int n : {0, -1, 3})
        EXPECT_EQ(pq_get_track(*pq, n), nullptr) << n;
    // Mode 0 leaves the next track's pause out, mode 1 counts it; the last track ends at the lead-out.
    EXPECT_EQ((std::array<long, 4>{pq_track_length(*pq, 1, 0), pq_track_length(*pq, 1, 1), pq_track_length(*pq, 2, 0),
                                   pq_track_length(*pq, 2, 1)}),
              (std::array<long, 4>{850, 1000, 3850, 3850}));
    pq_get_track(*pq, 2)->index[0] = -1;
    EXPECT_EQ(pq_track_length(*pq, 1, 0), 1000);
    // A text of the disc or of any one track is CD-Text.
    pq->title = "Album";
    pq_get_track(*pq, 2)->title = "Song";
    EXPECT_EQ(pq_has_title(*pq) + pq_has_cdtext(*pq), 2);
    EXPECT_EQ(pq_has_performer(*pq) + pq_has_songwriter(*pq), 0);
    EXPECT_EQ(pq_track_title(*pq, 1), nullptr);
    EXPECT_STREQ(pq_track_title(*pq, 2), "Song");
    auto other = two_tracks();
    pq_get_track(*other, 2)->songwriter = "Writer";
    EXPECT_EQ(pq_has_songwriter(*other) + pq_has_cdtext(*other), 2);
    EXPECT_EQ(pq_has_title(*other), 0);
    // Pregaps added and removed move every known position.
    pq = disc({{-1, 0}, {-1, 12000}}, -1);
    pq_add_pregap(*pq, 150);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{0, 150, -1, 12150, -1}));
    pq = two_tracks();
    EXPECT_EQ(pq_remove_pregap(*pq), 150);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{-1, 0, 850, 1000, 4850}));
    EXPECT_EQ(pq_remove_pregap(*pq), 0);
    EXPECT_EQ(pq->lead_out, 4850);
    pq_add_pregap(*pq, 150);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{0, 150, 1000, 1150, 5000}));

    // Cutting more than lies before track 1 changes nothing; index 0 goes when index 1 reaches 0.
    EXPECT_EQ(pq_remove(*pq, 151), 1);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{0, 150, 1000, 1150, 5000}));
    EXPECT_EQ(pq_remove(*pq, 100), 0);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{0, 50, 900, 1050, 4900}));
    EXPECT_EQ(pq_remove(*pq, 50), 0);
    EXPECT_EQ(positions(*pq), (std::array<long, 5>{-1, 0, 850, 1000, 4850}));

    // Appending to no list leaves the track with its maker; deleting hands back the successor.
    auto track = new_track();
    EXPECT_EQ(append_track(nullptr, track), nullptr);
    ASSERT_TRUE(track);
    PQtrack *raw = track.get();
    EXPECT_EQ(append_track(pq.get(), track), raw);
    EXPECT_FALSE(track);
    EXPECT_EQ(pq_get_track(*pq, 3), raw);
    auto next = del_track(std::move(pq->tracks));
    EXPECT_EQ(next->index[1], 1000);
    next = del_track(std::move(next));
    EXPECT_EQ(next.get(), raw);
    EXPECT_FALSE(del_track(std::move(next)));
    del_pq(two_tracks());
    del_pq(nullptr);
}

TEST(RedBookCheck, RulesInTheirOrder)
{
    const std::pair<std::unique_ptr<PQlist>, std::string> rows[] = {
        {disc({{0, 150}}, 450), ""},
        {disc({{0, 150}}, 449), "Error: PQ list: Track 01 is shorter than 4 sec.\n"},
        {disc({{0, 150}}, -1), "Error: PQ list: Track 01 is shorter than 4 sec.\n"},
        {disc({{0, 149}}, 10000), "Error: PQ list: first track's pregap shorter than 2 seconds (149 frames)\n"},
        {disc({{-1, 150}}, 10000), "Error: PQ list: position of track 01 index 00 is not at 0.\n"},
        {pq_new(), "Error: PQ list: no tracks.\n"},
        {disc({{0, 150}}, 10000, "1234567890123"), ""},
        // Track 2 is only 200 frames, but track 3 without an index 1 is found first.
        {disc({{0, 150}, {-1, 1000}, {1200, -1}}, 10000), "Error: PQ list: track 03 index 1 is not set.\n"},
        // 300 frames to the next index 1 count, although only 250 lie before track 2's pause.
        {disc({{0, 150}, {400, 450}}, 10000), ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);
        EXPECT_EQ(test::capture([&] { EXPECT_EQ(pq_check(*row.first), row.second.empty() ? 1 : 0); }).err, row.second);
    }
}

TEST(PQListing, TextAndHtmlTablesShowFlagsIsrcsFurtherIndexesAndEscapedTexts)
{
    auto pq = disc({{0, 150}, {9000, 9150}}, 18000, "4006381333931");
    pq->title = "Tom & Jerry's <b>\"Best\"</b>";
    pq->tracks->title = "<script>alert(1)</script>";
    pq->tracks->flags = PQ_FLAG_PRE | PQ_FLAG_SCMS;
    std::snprintf(pq->tracks->isrc.data(), pq->tracks->isrc.size(), "USRC17607839");
    pq_get_track(*pq, 2)->index[2] = 12000;
    const std::string rule = "--- ---  -----------------  -----------------  ------------  --- --- --- ----\n";
    EXPECT_EQ(test::capture([&] { pq_print(*pq); }).out,
              "*** PQ Listing ***\nUPC/EAN: 4006381333931\n"
              "Trk Idx  Start Time         Track Length       ISRC          PRE DCP 4CH SCMS\n" +
                  rule +
                  " 01  00  00:00:00 (     0)\n"
                  " 01  01  00:02:00 (   150)  01:58:00 (  8850)  USRC17607839   Y   N   N   Y\n"
                  " 02  00  02:00:00 (  9000)\n"
                  " 02  01  02:02:00 (  9150)  01:58:00 (  8850)                 N   N   N   N\n"
                  " 02  02  02:40:00 ( 12000)\n" +
                  rule + "End      04:00:00 ( 18000)\n");

    int last = 0;
    auto o = test::capture([&] { last = pq_print_html(*pq, stdout); });
    EXPECT_EQ(last, static_cast<int>(std::string("</html>\n").size()));
    EXPECT_EQ(o.out.rfind("<!DOCTYPE html>\n<html>\n<head>\n\t<meta charset=\"Windows-1252\" />\n", 0), 0u);
    EXPECT_NE(o.out.find("\t\t<tr><th>Disc Title:</th><td>Tom &amp; Jerry's &lt;b&gt;&quot;Best&quot;&lt;/b&gt;</td></tr>\n"),
              std::string::npos);
    // One row per index: the track number on its first row only; length, ISRC and title on index 1's.
    const auto td = [](const std::string &text) { return "\t\t\t\t<td>" + text + "</td>\n"; };
    const auto row = [&](const char *track, const char *index, const char *start, const std::string &rest) {
        return "\t\t\t<tr>\n" + td(track) + td(index) + td(start) + rest + "\t\t\t</tr>\n";
    };
    const std::string none = td("") + td("") + td("");
    const std::string rows =
        row("01", "00", "00:00:00", none) +
        row("", "01", "00:02:00", td("01:58:00") + td("USRC17607839") + td("&lt;script&gt;alert(1)&lt;/script&gt;")) +
        row("02", "00", "02:00:00", none) + row("", "01", "02:02:00", td("01:58:00") + td("") + td("")) +
        row("", "02", "02:40:00", none) +
        "\t\t<tbody>\n\t\t\t<tr class=\"totalTime\">\n\t\t\t\t<th colspan=\"2\">Total Time:</th>\n"
        "\t\t\t\t<th>04:00:00</th>\n\t\t\t\t<th></th>\n\t\t\t\t<th></th>\n\t\t\t\t<th></th>\n"
        "\t\t\t</tr>\n\t</table>\n</body>\n</html>\n";
    EXPECT_EQ(o.out.substr(o.out.size() - std::min(o.out.size(), rows.size())), rows);

    // Python's HTML parser finds every element closed, the two table bodies by the table's end.
    test::TempDir dir;
    test::write_file(dir.file("page.html"), o.out);
    EXPECT_EQ(test::run_command("python3 " KORVEL_TEST_SOURCE_DIR "/html_check.py " + dir.file("page.html")),
              "implicitly closed: tbody\nimplicitly closed: tbody\n");
}

// The cue sheet written for `pq`, and what was said on standard error.
test::Output cuesheet(const PQlist &pq, long data_start, int expect = 0)
{
    test::TempDir dir;
    file_ptr fp = tolk_fopen(dir.file("cue").c_str(), "w");
    const auto o = test::capture(
        [&] { EXPECT_EQ(pq_write_cuesheet(pq, "IMAGE.DAT", "BINARY", data_start, nullptr, fp.get()), expect); });
    EXPECT_TRUE(close_checked(fp));
    return {test::read_file(dir.file("cue")), o.err};
}

TEST(CueSheetWriter, WorkedExampleAndIndexTimesRelativeToTheDataStart)
{
    auto pq = disc({{0, 150}, {-1, 20000}}, 30000, "4006381333931");
    pq->title = "Album";
    std::snprintf(pq->tracks->isrc.data(), pq->tracks->isrc.size(), "USRC17607839");
    pq_get_track(*pq, 2)->flags = PQ_FLAG_PRE;
    EXPECT_EQ(cuesheet(*pq, 0).out, "CATALOG 4006381333931\nTITLE \"Album\"\nFILE \"IMAGE.DAT\" BINARY\n  TRACK 01 AUDIO\n"
                                    "    ISRC USRC17607839\n    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n"
                                    "  TRACK 02 AUDIO\n    FLAGS PRE\n    INDEX 01 04:26:50\n");

    pq = disc({{0, 150}, {-1, 1000}}, 30000);
    pq_get_track(*pq, 2)->flags = PQ_FLAG_DCP | PQ_FLAG_4CH;
    pq_get_track(*pq, 2)->index[2] = 1075;
    pq->performer = "Band";
    pq->tracks->songwriter = "Writer";
    pq->tracks->title = "One";
    EXPECT_EQ(cuesheet(*pq, 150).out, "PERFORMER \"Band\"\nFILE \"IMAGE.DAT\" BINARY\n  TRACK 01 AUDIO\n"
                                      "    TITLE \"One\"\n    SONGWRITER \"Writer\"\n    INDEX 01 00:00:00\n"
                                      "  TRACK 02 AUDIO\n    FLAGS DCP 4CH\n    INDEX 01 00:11:25\n    INDEX 02 00:12:25\n");
    EXPECT_NE(cuesheet(*pq, 100).out.find("    INDEX 00 00:00:00\n    INDEX 01 00:00:50\n"), std::string::npos);

    // A refused cue sheet is left empty; all there is to read is the error.
    const auto late = cuesheet(*pq, 151, 1), none = cuesheet(*pq_new(), 0, 1);
    EXPECT_EQ(late.out + late.err, "Error: PQ list: cannot write cue sheet with data file starting at 00:02:01, while "
                                   "first track is at 00:02:00");
    EXPECT_EQ(none.out + none.err, "Error: no tracks found in PQ list, can't write cue sheet.\n");
}

} // namespace
