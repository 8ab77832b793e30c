#include "fileset_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "miniddp.h"

namespace {

// A PQ packet as other programs write it: track ("AA" the lead-out), index, hours and MSF, control nibble,
// ISRC, UPC/EAN.
std::string pq(const char *track, int index, const char *msf, char control = '0', const char *isrc = "",
               const char *upc = "")
{
    char p[80];
    std::snprintf(p, sizeof p, "VVVS%-2.2s%02d%8.8s%c1  %-12.12s%-13.13s%19s", track, index, msf, control, isrc, upc,
                  "");
    return std::string(p, 64);
}

// A three-track disc: the lead-in with the catalog number, track 2 with a pause, the lead-out twice.
std::vector<std::string> three_tracks()
{
    return {pq("00", 0, "  000000", '0', "", "4006381333931"), pq("01", 0, "  000000"),
            pq("01", 1, "  000200", '0', "DEA121500001"),         pq("02", 0, "  000800"),
            pq("02", 1, "  000900"),                              pq("03", 1, "  001500"),
            pq("AA", 1, "  002200"),                              pq("AA", 1, "  002200")};
}

// A memory fileset around the PQ stream (korvel's map and identifier, an image as long as the
// first lead-out says) and the issues reading it finds, one "E|W file, position: message" line each.
std::string issues(const std::vector<std::string> &packets)
{
    std::string sd;
    long lead_out = 0;
    for (const std::string &p : packets) {
        sd += p;
        if (p.compare(4, 2, "AA") == 0 && lead_out == 0)
            lead_out = (std::stol(p.substr(10, 2)) * 60 + std::stol(p.substr(12, 2))) * 75 + std::stol(p.substr(14, 2));
    }
    char *map = nullptr;
    std::size_t map_size = 0;
    std::FILE *ms = open_memstream(&map, &map_size);
    ddp_write_ms_stream(ms, "IMAGE.DAT", static_cast<int>(lead_out), "SD", static_cast<int>(sd.size()), 150);
    std::fclose(ms);
    fileset_source src;
    src.entries = {{"DDPID", fileset_entry_kind::regular, 128, "DDP 2.00" + std::string(120, ' '), {}},
                   {"DDPMS", fileset_entry_kind::regular, static_cast<std::int64_t>(map_size), std::string(map, map_size), {}},
                   {"IMAGE.DAT", fileset_entry_kind::regular, lead_out * 2352, "", {}},
                   {"SD", fileset_entry_kind::regular, static_cast<std::int64_t>(sd.size()), sd, {}}};
    std::free(map);
    ddp_fileset fs = read_fileset(src);
    std::string text;
    for (const fileset_issue &i : fs.issues)
        text += (i.error ? "E " : "W ") + i.file + (i.position.empty() ? "" : ", " + i.position) + ": " + i.message + "\n";
    return text;
}

using edit = void (*)(std::vector<std::string> &);

// The forms other programs write (no lead-in, one lead-out, an index 00 at the time of index 01, ISRCs on
// index 00 and 01) are read back in tests/e2e_reader.py; here every rule a PQ stream can break.

TEST(PqStream, EveryRuleIsReportedAtItsPacket)
{
    const std::pair<edit, std::string> rows[] = {
        {[](auto &) {}, ""},
        {[](auto &p) { p[5] = pq("04", 1, "  001500"); },
         "E SD, packet 6: track 04 follows track 02: tracks are numbered 01, 02, 03 and so on\n"},
        {[](auto &p) { p[4] = pq("02", 2, "  000900"); },
         "E SD, packet 5: track 02: index 02 follows index 00\nE SD, packet 4: track 02 has no index 01\n"},
        // Without a lead-out there is no disc to check further, not even a track's pre-emphasis.
        {[](auto &p) { p.resize(6); p[5] = pq("03", 1, "  001500", '1'); }, "E SD: has no lead-out (track AA)\n"},
        {[](auto &p) { p[7] = pq("AA", 1, "  002201"); },
         "E SD, packet 8: the lead-out is given again at 00:22:01, but first at 00:22:00\n"},
        {[](auto &p) { p.push_back(pq("03", 2, "  002300")); }, "E SD, packet 9: track 03 index 02 follows the lead-out\n"},
        {[](auto &p) { p[4] = pq("02", 1, "  000900", '6'); },
         "E SD, packet 5: track 02 is marked as a data track (control 6): korvel reads audio discs only\n"},
        {[](auto &p) { p[3] = pq("2", 0, "  000800"); }, // a track number written "2 " is no number
         "E SD, packet 4: the track \"2 \" or index \"00\" is not a number\n"},
        {[](auto &p) { p[3] = pq("02", 0, "01000800"); }, "E SD, packet 4: the time \"01:00:08:00\" is not a position "
                                                         "on a disc\n"},
        {[](auto &p) { p[0] = pq("00", 0, "  000000", '0', "", "12345"); }, "E SD: the UPC/EAN \"12345\" is not 13 digits\n"},
        // Warnings leave the layout standing.
        {[](auto &p) { p[0] = pq("00", 0, "  000000", '0', "", "4006381333932"); },
         "W SD: the UPC/EAN 4006381333932 has a wrong check digit\n"},
        {[](auto &p) { p[2] = pq("01", 1, "  000200", '0', "DEA12150000X"); },
         "W SD, packet 2: track 01: the ISRC \"DEA12150000X\" is malformed (CCOOOYYNNNNN: country, owner, year, number)\n"},
        {[](auto &p) { p[3] = pq("02", 0, "  000800", '0', "DEA121500001"); },
         "W SD, packet 4: track 02 has the ISRC DEA121500001 of track 01\n"},
        {[](auto &p) { p[5] = pq("03", 1, "  001500", '1'); },
         "W SD, packet 6: track 03 is marked for pre-emphasis: players will de-emphasise it, so its audio must have "
         "been recorded with pre-emphasis\n"},
        // The Red Book rules.
        {[](auto &p) { p[2] = pq("01", 1, "  000100"); },
         "E SD, packet 3: track 01 starts 75 frames into the disc; it needs a pregap of at least 2 seconds (150 "
         "frames)\nW DDPMS, packet 2: gives track 01 a pregap (PRE1 + PRE2) of 150 frames, but the PQ stream starts "
         "track 01 at frame 75\n"},
        {[](auto &p) { p[5] = pq("03", 1, "  001200"); },
         "E SD, packet 5: track 02 lasts 00:03:00 (225 frames); a track must last at least 4 seconds\n"},
        {[](auto &p) { p[6] = p[7] = pq("AA", 1, "  900000"); },
         "E SD, packet 7: the lead-out at 90:00:00 is past 89:59:74, the last position a CD can address\n"},
        {[](auto &p) { p[6] = p[7] = pq("AA", 1, "  800000"); },
         "W SD, packet 7: the disc is 80:00:00 long, more than 79:59:74: confirm with the plant that it can press it\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(&row - rows);
        auto packets = three_tracks();
        row.first(packets);
        EXPECT_EQ(issues(packets), row.second);
    }
}

} // namespace
