#include "pqlist.h"

#include <gtest/gtest.h>

#include "test_support.h"

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

TEST(PQList, EmptyListAnswersEveryQuery)
{
    auto pq = pq_new();
    EXPECT_EQ(pq->lead_out, -1);
    EXPECT_STREQ(pq->upc_ean.data(), "");
    EXPECT_EQ(pq_num_tracks(*pq), 0);
    EXPECT_EQ(pq_get_track(*pq, 1), nullptr);
    EXPECT_EQ(pq_track_start(*pq, 1), -1);
    EXPECT_EQ(pq_track_length(*pq, 1, 0), -1);
    EXPECT_EQ(pq_track_title(*pq, 1), nullptr);
    EXPECT_EQ(pq_has_title(*pq) + pq_has_performer(*pq) + pq_has_songwriter(*pq) + pq_has_cdtext(*pq), 0);
    EXPECT_EQ(pq_get_first_pregap(*pq), 0);
}

TEST(PQList, TracksAreNumberedByTheirPlaceInTheChain)
{
    auto pq = two_track_disc();
    EXPECT_EQ(pq_num_tracks(*pq), 2);
    EXPECT_EQ(pq_get_track(*pq, 0), nullptr);
    EXPECT_EQ(pq_get_track(*pq, -1), nullptr);
    EXPECT_EQ(pq_get_track(*pq, 3), nullptr);
    EXPECT_EQ(pq_track_start(*pq, 2), 1150);
    EXPECT_EQ(pq_get_track(*pq, 2)->index[2], -1);
    EXPECT_STREQ(pq_get_track(*pq, 2)->isrc.data(), "");
    EXPECT_EQ(pq_get_track(*pq, 2)->flags, 0);
}

TEST(PQList, TrackLengthCountsTheNextPauseOnlyInModeOne)
{
    auto pq = two_track_disc();
    EXPECT_EQ(pq_track_length(*pq, 1, 0), 850);
    EXPECT_EQ(pq_track_length(*pq, 1, 1), 1000);
    EXPECT_EQ(pq_track_length(*pq, 2, 0), 3850);
    EXPECT_EQ(pq_track_length(*pq, 2, 1), 3850);
    pq_get_track(*pq, 2)->index[0] = -1;
    EXPECT_EQ(pq_track_length(*pq, 1, 0), 1000);
}

TEST(PQList, TextQueries)
{
    auto pq = two_track_disc();
    pq->title = "Album";
    EXPECT_EQ(pq_has_title(*pq), 1);
    EXPECT_EQ(pq_has_cdtext(*pq), 1);
    EXPECT_EQ(pq_has_performer(*pq), 0);
    EXPECT_EQ(pq_track_title(*pq, 1), nullptr);

    auto other = two_track_disc();
    pq_get_track(*other, 2)->songwriter = "Writer";
    EXPECT_EQ(pq_has_songwriter(*other), 1);
    EXPECT_EQ(pq_has_cdtext(*other), 1);
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

} // namespace
