#include "pqlist.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "tolk_utils.h"

#include <cstring>

namespace {

TEST(DiscTime, FramesToMsfAndBack)
{
    std::uint8_t m, s, f;
    frames2msf(0, &m, &s, &f);
    EXPECT_EQ((std::array<int, 3>{m, s, f}), (std::array<int, 3>{0, 0, 0}));
    frames2msf(4653, &m, &s, &f);
    EXPECT_EQ((std::array<int, 3>{m, s, f}), (std::array<int, 3>{1, 2, 3}));

    auto o = test::capture([&] { frames2msf(404999, &m, &s, &f); });
    EXPECT_EQ((std::array<int, 3>{m, s, f}), (std::array<int, 3>{89, 59, 74}));
    EXPECT_EQ(o.err, "");

    EXPECT_EQ(msf2frames(89, 59, 74), 404999);
    EXPECT_EQ(msf2frames(90, 0, 0), -1);
    EXPECT_EQ(msf2frames(0, 60, 0), -1);
    EXPECT_EQ(msf2frames(0, 0, 75), -1);
}

TEST(DiscTime, NinetyMinutesWarnsAndMarksMinutes99)
{
    std::uint8_t m, s, f;
    auto o = test::capture([&] { frames2msf(405000, &m, &s, &f); });
    EXPECT_EQ((std::array<int, 3>{m, s, f}), (std::array<int, 3>{99, 0, 0}));
    EXPECT_EQ(o.err, "Warning: frames2msf(): minutes out of range (90)\n");

    char buf[9];
    o = test::capture([&] { frames2str(405000, buf); });
    EXPECT_STREQ(buf, "99:00:00");
    EXPECT_EQ(o.err, "Warning: frames2msf(): minutes out of range (90)\n");
    EXPECT_STREQ(frames2str(150, buf), "00:02:00");
}

TEST(DiscTime, TimeTextAcceptsOneToThreeDigitsPerField)
{
    EXPECT_EQ(str2frames("00:00:00"), 0);
    EXPECT_EQ(str2frames("1:2:3"), 4653);
    EXPECT_EQ(str2frames("075:00:00"), 337500);
    EXPECT_EQ(str2frames("89:59:74"), 404999);
}

TEST(DiscTime, TimeTextRejectsEverythingElse)
{
    for (const char *bad : {"00:02", "00:00:00:00", "0000:00:00", ":00:00", "00::00", "00:00:", " 00:00:00",
                            "00:00:00 ", "", "90:00:00", "00:60:00", "00:00:75", "00:300:00", "-1:00:00",
                            "00:0a:00", "00:00:1:"})
        EXPECT_EQ(str2frames(bad), -1) << '"' << bad << '"';
}

TEST(Codes, Ean13CheckDigit)
{
    // 400638133393 has the check digit 1.
    EXPECT_EQ(ean13_validate("4006381333931", nullptr), 0);
    EXPECT_EQ(ean13_validate("4006381333932", nullptr), 1);
    char out[14] = {};
    EXPECT_EQ(ean13_validate("400638133393", out), 1);
    EXPECT_STREQ(out, "4006381333931");
    EXPECT_EQ(ean13_validate("400638133393x", nullptr), 1);
    EXPECT_EQ(ean13_validate("40063813339A1", nullptr), 2);
    EXPECT_EQ(ean13_validate("40063813339", nullptr), 2);
    EXPECT_EQ(ean13_validate("40063813339310", nullptr), 2);
    EXPECT_EQ(ean13_validate(nullptr, nullptr), 2);
    EXPECT_EQ(ean13_validate("0000000000000", nullptr), 0);
}

TEST(Codes, IsrcShape)
{
    EXPECT_EQ(isrc_is_valid("USRC17607839"), 1);
    EXPECT_EQ(isrc_is_valid("DE1230000001"), 1);
    EXPECT_EQ(isrc_is_valid("GBA1B2300001"), 1);
    for (const char *bad : {"uSRC17607839", "USRC1A607839", "1SRC17607839", "USRC1760783", "USRC176078391",
                            "US-RC1-76-07839", "USrc17607839"})
        EXPECT_EQ(isrc_is_valid(bad), 0) << bad;
    EXPECT_EQ(isrc_is_valid(nullptr), 0);
}

// Track 1 at 150, track 2 with a pause from 1000 and index 1 at 1150, lead-out 5000.
std::unique_ptr<PQlist> two_track_disc()
{
    auto pq = pq_new();
    PQtrack *t1 = new_track(*pq);
    t1->index[0] = 0;
    t1->index[1] = 150;
    PQtrack *t2 = new_track(*pq);
    t2->index[0] = 1000;
    t2->index[1] = 1150;
    pq->lead_out = 5000;
    return pq;
}

TEST(PQList, QueriesOnAnEmptyAndATwoTrackList)
{
    auto empty = pq_new();
    EXPECT_EQ(empty->lead_out, -1);
    EXPECT_STREQ(empty->upc_ean.data(), "");
    EXPECT_EQ(pq_num_tracks(*empty), 0);
    EXPECT_EQ(pq_get_track(*empty, 1), nullptr);
    EXPECT_EQ(pq_track_start(*empty, 1), -1);
    EXPECT_EQ(pq_track_length(*empty, 1, 0), -1);
    EXPECT_EQ(pq_track_title(*empty, 1), nullptr);
    EXPECT_EQ(pq_has_title(*empty) + pq_has_performer(*empty) + pq_has_songwriter(*empty) + pq_has_cdtext(*empty), 0);
    EXPECT_EQ(pq_get_first_pregap(*empty), 0);

    // Tracks are numbered by their place in the chain.
    auto pq = two_track_disc();
    EXPECT_EQ(pq_num_tracks(*pq), 2);
    for (int n : {0, -1, 3})
        EXPECT_EQ(pq_get_track(*pq, n), nullptr) << n;
    EXPECT_EQ(pq_track_start(*pq, 2), 1150);
    // Mode 0 leaves the next track's pause out, mode 1 counts it; the last track ends at the lead-out.
    EXPECT_EQ(pq_track_length(*pq, 1, 0), 850);
    EXPECT_EQ(pq_track_length(*pq, 1, 1), 1000);
    EXPECT_EQ(pq_track_length(*pq, 2, 0), 3850);
    EXPECT_EQ(pq_track_length(*pq, 2, 1), 3850);
    pq_get_track(*pq, 2)->index[0] = -1;
    EXPECT_EQ(pq_track_length(*pq, 1, 0), 1000);

    pq->title = "Album";
    EXPECT_EQ(pq_has_title(*pq) + pq_has_cdtext(*pq), 2);
    EXPECT_EQ(pq_has_performer(*pq), 0);
    EXPECT_EQ(pq_track_title(*pq, 1), nullptr);
    auto other = two_track_disc();
    pq_get_track(*other, 2)->songwriter = "Writer";
    EXPECT_EQ(pq_has_songwriter(*other) + pq_has_cdtext(*other), 2);
    EXPECT_EQ(pq_has_title(*other), 0);
    pq_get_track(*other, 2)->title = "Song";
    EXPECT_STREQ(pq_track_title(*other, 2), "Song");
}

TEST(PQList, AddingAPregapMovesEverythingButTrackOneIndexZero)
{
    auto pq = pq_new();
    new_track(*pq)->index[1] = 0;
    new_track(*pq)->index[1] = 12000;
    pq_add_pregap(*pq, 150);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[0], 0);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 150);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[1], 12150);
    EXPECT_EQ(pq->lead_out, -1);

    auto withzero = pq_new();
    PQtrack *t = new_track(*withzero);
    t->index[0] = 0;
    t->index[1] = 0;
    withzero->lead_out = 300;
    pq_add_pregap(*withzero, 150);
    EXPECT_EQ(t->index[0], 0);
    EXPECT_EQ(t->index[1], 150);
    EXPECT_EQ(withzero->lead_out, 450);
}

TEST(PQList, RemovingFramesFromTheStart)
{
    auto pq = two_track_disc();
    EXPECT_EQ(pq_remove(*pq, 151), 1);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 150);
    EXPECT_EQ(pq_remove(*pq, 100), 0);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[0], 0);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 50);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[0], 900);
    EXPECT_EQ(pq->lead_out, 4900);
    EXPECT_EQ(pq_remove(*pq, 50), 0);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[0], -1);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 0);
}

TEST(PQList, RemovingAndRestoringTheFirstPregap)
{
    auto pq = two_track_disc();
    EXPECT_EQ(pq_remove_pregap(*pq), 150);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[0], -1);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 0);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[0], 850);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[1], 1000);
    EXPECT_EQ(pq->lead_out, 4850);
    EXPECT_EQ(pq_remove_pregap(*pq), 0);
    EXPECT_EQ(pq->lead_out, 4850);

    pq_add_pregap(*pq, 150);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[0], 0);
    EXPECT_EQ(pq_get_track(*pq, 1)->index[1], 150);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[1], 1150);
    EXPECT_EQ(pq->lead_out, 5000);
}

TEST(PQList, AppendingToNoListLeavesTheTrackWithItsMaker)
{
    auto track = new_track();
    EXPECT_EQ(append_track(nullptr, track), nullptr);
    ASSERT_TRUE(track);
    auto pq = pq_new();
    PQtrack *raw = track.get();
    EXPECT_EQ(append_track(pq.get(), track), raw);
    EXPECT_FALSE(track);
    EXPECT_EQ(pq_get_track(*pq, 1), raw);
}

TEST(PQList, DeletingWalksTheChain)
{
    auto pq = two_track_disc();
    pq->performer = "Band";
    pq_get_track(*pq, 1)->title = "One";
    auto next = del_track(std::move(pq->tracks));
    ASSERT_TRUE(next);
    EXPECT_EQ(next->index[1], 1150);
    EXPECT_FALSE(del_track(std::move(next)));
    del_pq(two_track_disc());
    del_pq(nullptr);
}

std::unique_ptr<PQlist> checked_disc(long index1, long lead_out)
{
    auto pq = pq_new();
    PQtrack *t = new_track(*pq);
    t->index[0] = 0;
    t->index[1] = index1;
    pq->lead_out = lead_out;
    return pq;
}

std::string check_error(const PQlist &pq)
{
    int result = -1;
    auto o = test::capture([&] { result = pq_check(pq); });
    EXPECT_EQ(result, o.err.empty() ? 1 : 0);
    return o.err;
}

TEST(RedBookCheck, RulesInTheirOrder)
{
    auto no_index0 = checked_disc(150, 10000);
    no_index0->tracks->index[0] = -1;
    auto short_catalog = checked_disc(150, 10000);
    std::snprintf(short_catalog->upc_ean.data(), short_catalog->upc_ean.size(), "123456789012");
    auto full_catalog = checked_disc(150, 10000);
    std::snprintf(full_catalog->upc_ean.data(), full_catalog->upc_ean.size(), "1234567890123");
    // Track 2 is only 200 frames, but track 3 without an index 1 is found first.
    auto no_index1 = checked_disc(150, 10000);
    new_track(*no_index1)->index[1] = 1000;
    new_track(*no_index1)->index[0] = 1200;
    // 300 frames to the next index 1 count, although only 250 lie before track 2's pause.
    auto paused = checked_disc(150, 10000);
    PQtrack *t2 = new_track(*paused);
    t2->index[0] = 400;
    t2->index[1] = 450;
    auto too_short = checked_disc(150, 10000);
    new_track(*too_short)->index[1] = 449;

    const std::string short_track = "Error: PQ list: Track 01 is shorter than 4 sec.\n";
    const std::pair<std::unique_ptr<PQlist>, std::string> rows[] = {
        {checked_disc(150, 450), ""},
        {checked_disc(150, 449), short_track},
        {checked_disc(150, -1), short_track},
        {checked_disc(149, 10000), "Error: PQ list: first track's pregap shorter than 2 seconds (149 frames)\n"},
        {std::move(no_index0), "Error: PQ list: position of track 01 index 00 is not at 0.\n"},
        {pq_new(), "Error: PQ list: no tracks.\n"},
        {std::move(short_catalog), "Error: PQ list: UPC/EAN shorter than 13 digits ('123456789012')\n"},
        {std::move(full_catalog), ""},
        {std::move(no_index1), "Error: PQ list: track 03 index 1 is not set.\n"},
        {std::move(paused), ""},
        {std::move(too_short), short_track},
    };
    for (const auto &[pq, expected] : rows)
        EXPECT_EQ(check_error(*pq), expected) << &pq - &rows[0].first;
}

TEST(PQListing, FlagsIsrcAndFurtherIndexes)
{
    auto pq = checked_disc(150, 18000);
    std::snprintf(pq->upc_ean.data(), pq->upc_ean.size(), "4006381333931");
    pq->tracks->flags = PQ_FLAG_PRE | PQ_FLAG_SCMS;
    std::snprintf(pq->tracks->isrc.data(), pq->tracks->isrc.size(), "USRC17607839");
    PQtrack *t2 = new_track(*pq);
    t2->index[0] = 9000;
    t2->index[1] = 9150;
    t2->index[2] = 12000;
    auto o = test::capture([&] { pq_print(*pq); });
    EXPECT_NE(o.out.find("UPC/EAN: 4006381333931\n"), std::string::npos);
    EXPECT_NE(o.out.find(" 01  01  00:02:00 (   150)  01:58:00 (  8850)  USRC17607839   Y   N   N   Y\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find(" 02  00  02:00:00 (  9000)\n 02  01  02:02:00 (  9150)  01:58:00 (  8850)"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find(" 02  02  02:40:00 ( 12000)\n---"), std::string::npos) << o.out;
}

TEST(PQListing, HtmlPageEscapesTextsAndStaysWellFormed)
{
    auto pq = checked_disc(150, 18000);
    pq->title = "Tom & Jerry's <b>\"Best\"</b>";
    PQtrack *t = pq->tracks.get();
    t->index[2] = 3000;
    t->title = "<script>alert(1)</script>";
    std::snprintf(t->isrc.data(), t->isrc.size(), "USRC17607839");
    int last = 0;
    auto o = test::capture([&] { last = pq_print_html(*pq); });
    EXPECT_EQ(last, static_cast<int>(std::strlen("</html>\n")));
    EXPECT_EQ(o.out.rfind("<!DOCTYPE html>\n<html>\n<head>\n\t<meta charset=\"Windows-1252\" />\n", 0), 0u);
    EXPECT_NE(o.out.find("\t\t<tr><th>Disc Title:</th><td>Tom &amp; Jerry's &lt;b&gt;&quot;Best&quot;&lt;/b&gt;</td></tr>\n"),
              std::string::npos)
        << o.out;
    EXPECT_EQ(o.out.find("<script>"), std::string::npos);
    const std::string rows = "\t\t\t<tr>\n\t\t\t\t<td>01</td>\n\t\t\t\t<td>00</td>\n\t\t\t\t<td>00:00:00</td>\n"
                             "\t\t\t\t<td></td>\n\t\t\t\t<td></td>\n\t\t\t\t<td></td>\n\t\t\t</tr>\n"
                             "\t\t\t<tr>\n\t\t\t\t<td></td>\n\t\t\t\t<td>01</td>\n\t\t\t\t<td>00:02:00</td>\n"
                             "\t\t\t\t<td>03:58:00</td>\n\t\t\t\t<td>USRC17607839</td>\n"
                             "\t\t\t\t<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>\n\t\t\t</tr>\n"
                             "\t\t\t<tr>\n\t\t\t\t<td></td>\n\t\t\t\t<td>02</td>\n\t\t\t\t<td>00:40:00</td>\n"
                             "\t\t\t\t<td></td>\n\t\t\t\t<td></td>\n\t\t\t\t<td></td>\n\t\t\t</tr>\n"
                             "\t\t<tbody>\n\t\t\t<tr class=\"totalTime\">\n\t\t\t\t<th colspan=\"2\">Total Time:</th>\n"
                             "\t\t\t\t<th>04:00:00</th>\n\t\t\t\t<th></th>\n\t\t\t\t<th></th>\n\t\t\t\t<th></th>\n"
                             "\t\t\t</tr>\n\t</table>\n</body>\n</html>\n";
    ASSERT_GE(o.out.size(), rows.size());
    EXPECT_EQ(o.out.substr(o.out.size() - rows.size()), rows);

    // A real HTML parser finds every element closed; only the two table bodies
    // are closed implicitly, by the end of the table.
    test::TempDir dir;
    test::write_file(dir.file("page.html"), o.out);
    EXPECT_EQ(test::run_command("python3 " KORVEL_TEST_SOURCE_DIR "/html_check.py " + dir.file("page.html")),
              "implicitly closed: tbody\nimplicitly closed: tbody\n");
}

std::string cuesheet(const PQlist &pq, long data_start, int expect = 0)
{
    test::TempDir dir;
    int result = -1;
    {
        file_ptr fp = tolk_fopen(dir.file("cue").c_str(), "w");
        result = pq_write_cuesheet(pq, "IMAGE.DAT", "BINARY", data_start, nullptr, fp.get());
        EXPECT_TRUE(close_checked(fp));
    }
    EXPECT_EQ(result, expect);
    return test::read_file(dir.file("cue"));
}

TEST(CueSheetWriter, WorkedExampleWithCatalogTitleIsrcAndFlags)
{
    auto pq = checked_disc(150, 30000);
    std::snprintf(pq->upc_ean.data(), pq->upc_ean.size(), "4006381333931");
    pq->title = "Album";
    std::snprintf(pq->tracks->isrc.data(), pq->tracks->isrc.size(), "USRC17607839");
    PQtrack *t2 = new_track(*pq);
    t2->flags = PQ_FLAG_PRE;
    t2->index[1] = 20000;
    EXPECT_EQ(cuesheet(*pq, 0), "CATALOG 4006381333931\n"
                                "TITLE \"Album\"\n"
                                "FILE \"IMAGE.DAT\" BINARY\n"
                                "  TRACK 01 AUDIO\n"
                                "    ISRC USRC17607839\n"
                                "    INDEX 00 00:00:00\n"
                                "    INDEX 01 00:02:00\n"
                                "  TRACK 02 AUDIO\n"
                                "    FLAGS PRE\n"
                                "    INDEX 01 04:26:50\n");
}

TEST(CueSheetWriter, IndexTimesAreRelativeToTheDataStart)
{
    auto pq = checked_disc(150, 30000);
    PQtrack *t2 = new_track(*pq);
    t2->flags = PQ_FLAG_DCP | PQ_FLAG_4CH;
    t2->index[1] = 1000;
    t2->index[2] = 1075;
    t2->index[10] = -1;
    pq->performer = "Band";
    pq->tracks->songwriter = "Writer";
    pq->tracks->title = "One";
    EXPECT_EQ(cuesheet(*pq, 150), "PERFORMER \"Band\"\nFILE \"IMAGE.DAT\" BINARY\n  TRACK 01 AUDIO\n"
                                  "    TITLE \"One\"\n    SONGWRITER \"Writer\"\n    INDEX 01 00:00:00\n"
                                  "  TRACK 02 AUDIO\n    FLAGS DCP 4CH\n    INDEX 01 00:11:25\n    INDEX 02 00:12:25\n");
    EXPECT_EQ(cuesheet(*pq, 100).find("    INDEX 00 00:00:00\n    INDEX 01 00:00:50\n") != std::string::npos, true);

    std::string refused;
    auto o = test::capture([&] { refused = cuesheet(*pq, 151, 1); });
    EXPECT_EQ(refused, "");
    EXPECT_EQ(o.err, "Error: PQ list: cannot write cue sheet with data file starting at 00:02:01, while first track "
                     "is at 00:02:00");
    o = test::capture([&] { refused = cuesheet(*pq_new(), 0, 1); });
    EXPECT_EQ(o.err, "Error: no tracks found in PQ list, can't write cue sheet.\n");
}

} // namespace
