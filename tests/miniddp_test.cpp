#include "miniddp.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "log.h"
#include "pqlist.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

std::string spaces(std::size_t n) { return std::string(n, ' '); }

// The one-track disc: index 0 at 0, index 1 at 150, lead-out at 18000 (4:00:00).
std::unique_ptr<PQlist> one_track_disc()
{
    auto pq = pq_new();
    PQtrack *t = new_track(*pq);
    t->index[0] = 0;
    t->index[1] = 150;
    pq->lead_out = 18000;
    return pq;
}

std::string sd_entry(const std::string &track_index, const std::string &msf, const std::string &flags,
                     const std::string &isrc = "", const std::string &upc = "")
{
    std::string e = "VVVS" + track_index + "  " + msf + flags + "  ";
    e += isrc + spaces(12 - isrc.size());
    e += upc + spaces(13 - upc.size());
    e += spaces(19);
    return e;
}

// Map packets laid out field by field, independent of the writer's format string.
std::string pq_descr_packet(int sd_size)
{
    char dsl[9];
    std::snprintf(dsl, sizeof dsl, "%8d", sd_size);
    return "VVVMS0" + spaces(8) + dsl + spaces(8) + "PQ DESCR" + spaces(33) + " 17" + "SD" + spaces(15) + spaces(37);
}

std::string image_packet(int sectors, int pregap)
{
    char dsl[9];
    char gap[5];
    std::snprintf(dsl, sizeof dsl, "%8d", sectors);
    std::snprintf(gap, sizeof gap, "%4d", pregap);
    return "VVVMD0" + spaces(8) + dsl + spaces(16) + "DA71" + spaces(4) + gap + spaces(21) + " 17" + "IMAGE.DAT" +
           spaces(8) + spaces(37);
}

std::string cdtext_packet(int size)
{
    char dsl[9];
    std::snprintf(dsl, sizeof dsl, "%8d", size);
    return "VVVMS0" + spaces(8) + dsl + spaces(8) + "CDTEXT  " + spaces(4) + spaces(4) + spaces(4) + spaces(4) +
           spaces(1) + "00" + spaces(14) + " 17" + "CDTEXT.BIN" + spaces(7) + spaces(37);
}

class MiniDdpTest : public ::testing::Test {
protected:
    void TearDown() override { log_set_verbose(1); }
    test::TempDir dir;
    std::string file(const char *name) const { return dir.file(name); }
    std::string read(const char *name) const { return test::read_file(file(name)); }
};

// The one-track disc's three streams are checked byte for byte by the golden case
// write-one-track-disc, the catalog and master identifier by the demo's test.
TEST_F(MiniDdpTest, IdentifierFieldsAreFilledToTheirWidth)
{
    auto pq = one_track_disc();
    file_ptr fp = tolk_fopen(file("id").c_str(), "wb");
    EXPECT_EQ(ddp_write_id_stream(fp.get(), *pq, std::string(48, 'X').c_str(), "12345"), 128);
    EXPECT_EQ(ddp_write_id_stream(fp.get(), *pq, "", std::string(40, 'u').c_str()), 128);
    ASSERT_TRUE(close_checked(fp));
    const std::string id = read("id");
    ASSERT_EQ(id.size(), 256u);
    EXPECT_EQ(id.substr(38, 51), std::string(48, 'X') + " CD");
    // The length field counts at most the 32 characters the text field shows.
    EXPECT_EQ(id.substr(94, 34), " 512345" + spaces(27));
    EXPECT_EQ(id.substr(128 + 94, 34), "32" + std::string(32, 'u'));
}

TEST_F(MiniDdpTest, FlagsAndIsrcPlacementInSd)
{
    auto pq = pq_new();
    PQtrack *t1 = new_track(*pq);
    t1->index[0] = 0;
    t1->index[1] = 150;
    t1->index[2] = 600;
    t1->flags = PQ_FLAG_DCP | PQ_FLAG_PRE;
    std::snprintf(t1->isrc.data(), t1->isrc.size(), "XXA012345678");
    PQtrack *t2 = new_track(*pq);
    t2->index[1] = 1000;
    t2->flags = PQ_FLAG_SCMS | PQ_FLAG_PRE;
    std::snprintf(t2->isrc.data(), t2->isrc.size(), "XXA012345679");
    pq->lead_out = 2000;

    file_ptr fp = tolk_fopen(file("SD").c_str(), "wb");
    EXPECT_EQ(ddp_write_sd_stream(fp.get(), *pq), 64 * 7);
    ASSERT_TRUE(close_checked(fp));
    const std::string lead_out = sd_entry("AA01", "002650", "01");
    EXPECT_EQ(read("SD"), sd_entry("0000", "000000", "01") + sd_entry("0100", "000000", "31", "XXA012345678") +
                              sd_entry("0101", "000200", "31") + sd_entry("0102", "000800", "31") +
                              sd_entry("0201", "001325", "1S", "XXA012345679") + lead_out + lead_out);
}

TEST_F(MiniDdpTest, NinetyMinuteLeadOutIsWrittenAsMinutes99WithWarnings)
{
    auto pq = one_track_disc();
    pq->lead_out = 405000;
    file_ptr fp = tolk_fopen(file("SD").c_str(), "wb");
    auto o = test::capture([&] { ddp_write_sd_stream(fp.get(), *pq); });
    ASSERT_TRUE(close_checked(fp));
    EXPECT_EQ(o.err, "Warning: frames2msf(): minutes out of range (90)\n"
                     "Warning: frames2msf(): minutes out of range (90)\n");
    EXPECT_EQ(read("SD").substr(3 * 64, 18), "VVVSAA01  99000001");
}

TEST_F(MiniDdpTest, MapPacketLengthCheckReportsOversizedNumbers)
{
    file_ptr fp = tolk_fopen(file("ms").c_str(), "wb");
    auto o = test::capture([&] { ddp_write_ms_packet(fp.get(), "D0", "", "IMAGE.DAT", 100000000, 10, "DA", '7', '1', -1); });
    EXPECT_EQ(o.err, "Error: Internal error wile writing map strem packet\nDST=D0, SUB=, DSI=IMAGE.DAT, DSL=100000000\n");
    o = test::capture([&] {
        ddp_write_ms_packet(fp.get(), "S0TOOLONG", "", "A_NAME_LONGER_THAN_17", 1, -1, "", ' ', ' ', -1);
    });
    EXPECT_EQ(o.err, "");
    ASSERT_TRUE(close_checked(fp));
    const std::string ms = read("ms");
    EXPECT_EQ(ms.size(), 129u + 128u);
    EXPECT_EQ(ms.substr(129 + 4, 2), "S0");
    EXPECT_EQ(ms.substr(129 + 74, 17), "A_NAME_LONGER_THA");
}

TEST_F(MiniDdpTest, LinkingCdTextPutsItsPacketBeforeThePqDescriptor)
{
    auto pq = one_track_disc();
    test::capture([&] { ddp_write(dir.path().c_str(), *pq, ""); });
    EXPECT_EQ(ddp_link_cdtext_file(dir.path().c_str(), "CDTEXT.BIN", 720), 0);
    EXPECT_EQ(read("DDPMS"), cdtext_packet(720) + pq_descr_packet(320) + image_packet(18000, 150));
    EXPECT_FALSE(test::file_exists(file("DDPMS_")));

    ddp_add_file(dir.path().c_str(), "S0", "EXTRA", "EXTRA.BIN", 5, 3);
    EXPECT_EQ(read("DDPMS").size(), 512u);
    EXPECT_EQ(read("DDPMS").substr(384 + 55, 2), "03");
}

TEST_F(MiniDdpTest, LinkingFailsWithoutChangingDdpms)
{
    // No PQ descriptor packet: nothing to link before.
    const std::string image_only = image_packet(18000, 150);
    test::write_file(file("DDPMS"), image_only);
    EXPECT_EQ(test::capture([&] { EXPECT_EQ(ddp_link_cdtext_file(dir.path().c_str(), "CDTEXT.BIN", 36), 1); }).err,
              "");
    EXPECT_EQ(read("DDPMS"), image_only);
    EXPECT_FALSE(test::file_exists(file("DDPMS_")));

    // A torn packet at the end.
    const std::string torn = pq_descr_packet(320) + image_only.substr(0, 100);
    test::write_file(file("DDPMS"), torn);
    auto o = test::capture([&] { EXPECT_EQ(ddp_link_cdtext_file(dir.path().c_str(), "CDTEXT.BIN", 36), 1); });
    EXPECT_EQ(o.err.rfind("Error: " + file("DDPMS") + ": ", 0), 0u) << o.err;
    EXPECT_EQ(read("DDPMS"), torn);
    EXPECT_FALSE(test::file_exists(file("DDPMS_")));

    // The replacement cannot be created.
    test::write_file(file("DDPMS"), pq_descr_packet(320));
    std::filesystem::create_directory(file("DDPMS_"));
    o = test::capture([&] { EXPECT_EQ(ddp_link_cdtext_file(dir.path().c_str(), "CDTEXT.BIN", 36), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS_") + ": Is a directory\n");
    EXPECT_EQ(read("DDPMS"), pq_descr_packet(320));

    // No map stream at all.
    std::filesystem::remove(file("DDPMS"));
    o = test::capture([&] { EXPECT_EQ(ddp_link_cdtext_file(dir.path().c_str(), "CDTEXT.BIN", 36), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS") + ": No such file or directory\n");
}

TEST_F(MiniDdpTest, CdTextFromFileIsCopiedWholeAndLinked)
{
    auto pq = one_track_disc();
    test::capture([&] { ddp_write(dir.path().c_str(), *pq, ""); });
    std::string source(40, '\0');
    for (std::size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<char>(0x80 + i);
    test::write_file(file("texts.cdt"), source);

    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(dir.path().c_str(), file("texts.cdt").c_str()), 0); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file (source: " + file("texts.cdt") + ")...\n40 bytes written.\n");
    EXPECT_EQ(read("CDTEXT.BIN"), source);
    EXPECT_EQ(read("DDPMS").substr(0, 128), cdtext_packet(40));

    // An empty source gives an empty CDTEXT.BIN with a packet of length 0; the message
    // about the copy stays even at verbosity 0.
    test::capture([&] { ddp_write(dir.path().c_str(), *pq, ""); });
    test::write_file(file("empty.cdt"), "");
    log_set_verbose(0);
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(dir.path().c_str(), file("empty.cdt").c_str()), 0); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file (source: " + file("empty.cdt") + ")...\n");
    EXPECT_EQ(read("CDTEXT.BIN"), "");
    EXPECT_EQ(read("DDPMS").substr(0, 128), cdtext_packet(0));
}

TEST_F(MiniDdpTest, CdTextFromFileLeavesNothingBehindWhenItFails)
{
    test::write_file(file("texts.cdt"), std::string(36, 'x'));
    // No DDPMS to link into.
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(dir.path().c_str(), file("texts.cdt").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS") + ": No such file or directory\nError: No CD text written!\n");
    EXPECT_FALSE(test::file_exists(file("CDTEXT.BIN")));

    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(dir.path().c_str(), file("missing.cdt").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: Can't open file: '" + file("missing.cdt") +
                         "' (No such file or directory)\nError: No CD text written!\n");
}

TEST_F(MiniDdpTest, CdTextFromTheListIsWrittenAndLinked)
{
    auto pq = one_track_disc();
    pq->title = "Album";
    test::capture([&] { ddp_write(dir.path().c_str(), *pq, ""); });
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(dir.path().c_str(), *pq), 0); });
    // One title pack and the three size-information packs.
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file... 72 bytes written.\n");
    EXPECT_EQ(read("CDTEXT.BIN").size(), 72u);
    EXPECT_EQ(read("DDPMS"), cdtext_packet(72) + pq_descr_packet(320) + image_packet(18000, 150));

    // Without a map stream the file stays, but the failure is reported.
    std::filesystem::remove(file("DDPMS"));
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(dir.path().c_str(), *pq), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS") + ": No such file or directory\nError: linking CD text file faild.\n");
    EXPECT_TRUE(test::file_exists(file("CDTEXT.BIN")));
}

TEST_F(MiniDdpTest, CdTextIsNotWrittenWithoutTextsOrBeyondOneBlock)
{
    auto pq = one_track_disc();
    test::capture([&] { ddp_write(dir.path().c_str(), *pq, ""); });
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(dir.path().c_str(), *pq), -2); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file... nothing to write, no CD text found, removing file.\n");
    EXPECT_FALSE(test::file_exists(file("CDTEXT.BIN")));

    // 99 tracks with titles of 250 bytes need far more than 256 packs.
    for (int i = 2; i <= 99; ++i)
        new_track(*pq)->index[1] = 150 + 300 * i;
    for (PQtrack *t = pq->tracks.get(); t != nullptr; t = t->next.get())
        t->title = std::string(250, 'T');
    const long packs = pq_cdtext_pack_count(*pq);
    EXPECT_GT(packs, 256);
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(dir.path().c_str(), *pq), -3); });
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Error: CD text is too long for one block: it needs " + std::to_string(packs) +
                         " packs, but at most 256 fit; CDTEXT.BIN not written\n");
    EXPECT_FALSE(test::file_exists(file("CDTEXT.BIN")));
    EXPECT_EQ(read("DDPMS").size(), 256u);
}

TEST_F(MiniDdpTest, CueSheetDescribesTheImage)
{
    auto pq = one_track_disc();
    pq->title = "Album";
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cuesheet(dir.path().c_str(), *pq), 0); });
    const std::string expected = "TITLE \"Album\"\nFILE \"IMAGE.DAT\" BINARY\n  TRACK 01 AUDIO\n"
                                 "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n";
    EXPECT_EQ(read("IMAGE.cue"), expected);
    EXPECT_EQ(o.out, "Writing IMAGE.cue file... " + std::to_string(expected.size()) + " bytes written.\n");
    EXPECT_EQ(ddp_get_data_path(dir.path().c_str()), file("IMAGE.DAT"));
}

TEST_F(MiniDdpTest, StreamsThatCannotBeCreatedAreReportedAndSkipped)
{
    auto pq = one_track_disc();
    std::filesystem::create_directory(file("SD"));
    auto o = test::capture([&] { EXPECT_EQ(ddp_write(dir.path().c_str(), *pq, ""), 1); });
    EXPECT_EQ(o.err, "Error: " + file("SD") + ": Is a directory\n");
    EXPECT_EQ(o.out, "Writing DDPMS file... 256 bytes written.\nWriting DDPID file... 128 bytes written.\n");
    EXPECT_TRUE(std::filesystem::is_directory(file("SD")));

    std::filesystem::create_directory(file("IMAGE.cue"));
    o = test::capture([&] { EXPECT_EQ(ddp_write_cuesheet(dir.path().c_str(), *pq), -1); });
    EXPECT_EQ(o.err, "Error: " + file("IMAGE.cue") + ": Is a directory\n");
}

TEST_F(MiniDdpTest, AFailedRedBookCheckWritesNothing)
{
    auto pq = one_track_disc();
    pq->lead_out = 449;
    auto o = test::capture([&] { EXPECT_EQ(ddp_write(dir.path().c_str(), *pq, ""), 1); });
    EXPECT_EQ(o.err, "Error: PQ list: Track 01 is shorter than 4 sec.\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

} // namespace
