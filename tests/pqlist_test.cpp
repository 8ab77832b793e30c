#include "pqlist.h"

#include <gtest/gtest.h>

#include "test_support.h"

// The listings and the cue sheet writer are checked end to end: the golden cases pin the PQ
// listing, and the round trip writes the fileset again from the cue sheet of its extraction.

namespace {

TEST(DiscTime, FramesMsfAndTextAgreeUpTo89_59_74)
{
    for (const auto &[frames, text] : {std::pair<long, const char *>{0, "00:00:00"}, {150, "00:02:00"},
                                       {4653, "01:02:03"}, {404999, "89:59:74"}}) {
        std::uint8_t m, s, f;
        char buf[9];
        frames2msf(frames, &m, &s, &f);
        EXPECT_STREQ(frames2str(frames, buf), text);
        EXPECT_EQ(msf2frames(m, s, f), frames) << text;
        EXPECT_EQ(str2frames(text), frames) << text;
    }
    // Time texts take one to three digits per field, and nothing else.
    EXPECT_EQ((std::array<long, 2>{str2frames("1:2:3"), str2frames("075:00:00")}), (std::array<long, 2>{4653, 337500}));
    for (const char *bad : {"00:02", "00:00:00:00", "0000:00:00", ":00:00", "00::00", "00:00:", " 00:00:00", "",
                            "90:00:00", "00:60:00", "00:00:75", "-1:00:00", "00:0a:00"})
        EXPECT_EQ(str2frames(bad), -1) << '"' << bad << '"';
}

TEST(Codes, Ean13CheckDigitAndIsrcShape)
{
    // 400638133393 has the check digit 1; the completed code comes back whenever twelve digits lead.
    const std::tuple<const char *, int, const char *> ean[] = {
        {"4006381333931", 0, "4006381333931"},  {"4006381333932", 1, "4006381333931"},
        {"400638133393", 1, "4006381333931"},   {"40063813339310", 2, "4006381333931"},
        {"40063813339A1", 2, ""},               {"40063813339", 2, ""},
        {"9780306406157", 0, "9780306406157"},  {"0000000000000", 0, "0000000000000"}};
    for (const auto &[code, result, completed] : ean) {
        char out[14] = {};
        EXPECT_EQ(ean13_validate(code, out), result) << code;
        EXPECT_STREQ(out, completed);
    }
    const std::pair<const char *, int> isrc[] = {
        {"USRC17607839", 1}, {"GBA1B2300001", 1}, {"uSRC17607839", 0}, {"USRC1A607839", 0}, {"1SRC17607839", 0},
        {"USRC1760783", 0},  {"USRC176078391", 0}, {"US-RC1-76-07839", 0}};
    for (const auto &[code, valid] : isrc)
        EXPECT_EQ(isrc_is_valid(code), valid) << code;
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

TEST(RedBookCheck, RulesInTheirOrder)
{
    const std::pair<std::unique_ptr<PQlist>, std::string> rows[] = {
        {disc({{0, 150}}, 450), ""},
        {disc({{0, 150}}, 449), "Error: PQ list: Track 01 is shorter than 4 sec.\n"},
        {disc({{0, 149}}, 10000), "Error: PQ list: first track's pregap shorter than 2 seconds (149 frames)\n"},
        {disc({{-1, 150}}, 10000), "Error: PQ list: position of track 01 index 00 is not at 0.\n"},
        {pq_new(), "Error: PQ list: no tracks.\n"},
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

} // namespace
