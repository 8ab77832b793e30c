#include "miniddp.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "log.h"
#include "pqlist.h"
#include "safe_output.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

namespace fs = std::filesystem;

std::string spaces(std::size_t n) { return std::string(n, ' '); }
std::string left(std::string s, std::size_t width) { s.resize(width, ' '); return s; }

// Entries and packets laid out field by field, independent of the writer's format strings.
std::string sd_entry(std::string track_index, std::string msf, std::string flags, std::string isrc = "")
{
    return "VVVS" + track_index + "  " + msf + flags + "  " + left(isrc, 12) + spaces(13 + 19);
}

// `mode_pregap` is the 12 characters of mode, blanks and right-aligned pregap.
std::string map_packet(std::string dst, int dsl, std::string sub, std::string mode_pregap, std::string track, std::string dsi)
{
    char length[9];
    std::snprintf(length, sizeof length, "%8d", dsl);
    return "VVVM" + dst + spaces(8) + length + spaces(8) + left(sub, 8) + left(mode_pregap, 12) + spaces(5) +
           left(track, 2) + spaces(14) + " 17" + left(dsi, 17) + spaces(37);
}

std::string cdtext_packet(int size) { return map_packet("S0", size, "CDTEXT", "", "00", "CDTEXT.BIN"); }

// The map of the one-track disc: SD of five entries, 18000 sectors of audio after a pregap of 150.
const std::string plain_map =
    map_packet("S0", 320, "PQ DESCR", "", "", "SD") + map_packet("D0", 18000, "", "DA71     150", "", "IMAGE.DAT");

// write-one-track-disc checks the one-track disc's streams whole, the demo's test the catalog and master identifier.
class MiniDdpTest : public ::testing::Test {
protected:
    MiniDdpTest()
    {
        new_track(*pq)->index[1] = 150;
        pq->tracks->index[0] = 0;
        pq->lead_out = 18000;
    }
    void TearDown() override { log_set_verbose(1); }
    const char *d() const { return dir.path().c_str(); }
    std::string file(const char *name) const { return dir.file(name); }
    std::string read(const char *name) const { return test::read_file(file(name)); }
    test::Output write_fileset(int expect = 0)
    {
        return test::capture([&] { EXPECT_EQ(ddp_write(d(), *pq, ""), expect); });
    }

    test::TempDir dir;
    std::unique_ptr<PQlist> pq = pq_new();
};

TEST_F(MiniDdpTest, StreamFieldsAreFilledToTheirWidthAndLongerTextsCut)
{
    file_ptr fp = tolk_fopen(file("id").c_str(), "wb");
    EXPECT_EQ(ddp_write_id_stream(fp.get(), *pq, std::string(48, 'X').c_str(), "12345"), 128);
    EXPECT_EQ(ddp_write_id_stream(fp.get(), *pq, "", std::string(40, 'u').c_str()), 128);
    ASSERT_TRUE(close_checked(fp));
    EXPECT_EQ(read("id").substr(38, 51), std::string(48, 'X') + " CD");
    // The length field counts at most the 32 characters the text field shows.
    EXPECT_EQ(read("id").substr(94, 34), " 512345" + spaces(27));
    EXPECT_EQ(read("id").substr(128 + 94, 34), "32" + std::string(32, 'u'));
    // A number too wide for its field is reported and its packet not written; a text too long is cut.
    fp = tolk_fopen(file("ms").c_str(), "wb");
    auto o = test::capture([&] {
        ddp_write_ms_packet(fp.get(), "D0", "", "IMAGE.DAT", 100000000, 10, "DA", '7', '1', -1);
        ddp_write_ms_packet(fp.get(), "S0TOOLONG", "", "A_NAME_LONGER_THAN_17", 1, -1, "", ' ', ' ', -1);
    });
    EXPECT_EQ(o.err, "Error: Internal error wile writing map strem packet\nDST=D0, SUB=, DSI=IMAGE.DAT, DSL=100000000\n");
    ASSERT_TRUE(close_checked(fp));
    EXPECT_EQ(read("ms"), map_packet("S0", 1, "", "", "", "A_NAME_LONGER_THA"));
    // SD: flags, SCMS, each ISRC on its track's first entry, a lead-out at 90 minutes.
    pq->tracks->index[2] = 600;
    pq->tracks->flags = PQ_FLAG_DCP | PQ_FLAG_PRE;
    std::snprintf(pq->tracks->isrc.data(), pq->tracks->isrc.size(), "XXA012345678");
    // Track 2 has no index 0: its ISRC goes with index 1.
    PQtrack *t2 = new_track(*pq);
    t2->index[1] = 1000;
    t2->flags = PQ_FLAG_SCMS | PQ_FLAG_PRE;
    std::snprintf(t2->isrc.data(), t2->isrc.size(), "XXA012345679");
    const std::string tracks = sd_entry("0000", "000000", "01") + sd_entry("0100", "000000", "31", "XXA012345678") +
                               sd_entry("0101", "000200", "31") + sd_entry("0102", "000800", "31") +
                               sd_entry("0201", "001325", "1S", "XXA012345679");
    pq->lead_out = 2000;
    EXPECT_EQ(write_fileset().err, "");
    EXPECT_EQ(read("SD"), tracks + sd_entry("AA01", "002650", "01") + sd_entry("AA01", "002650", "01"));
    // The last position a disc can address, and one past it, which is never written.
    pq->lead_out = 404999;
    EXPECT_EQ(write_fileset().err, "");
    EXPECT_EQ(read("SD"), tracks + sd_entry("AA01", "895974", "01") + sd_entry("AA01", "895974", "01"));
    pq->lead_out = 405000;
    EXPECT_EQ(write_fileset(1).err, "Error: PQ list: disc too long: the lead-out at 90:00:00 is past 89:59:74, "
                                    "the last position a CD can address\n");
    EXPECT_EQ(read("SD"), tracks + sd_entry("AA01", "895974", "01") + sd_entry("AA01", "895974", "01"));
}

// Without any DDPMS, see the two CD-Text writers.
TEST_F(MiniDdpTest, FailedLinkingLeavesDdpmsAsItWasAndNothingBehind)
{
    const auto refused = [&](const std::string &map) {
        test::write_file(file("DDPMS"), map);
        const auto o = test::capture([&] { EXPECT_EQ(ddp_link_cdtext_file(d(), "CDTEXT.BIN", 36), 1); });
        EXPECT_EQ(read("DDPMS"), map);
        for (const auto &entry : fs::directory_iterator(dir.path()))
            EXPECT_FALSE(is_unfinished_name(entry.path().filename().c_str())) << entry.path();
        return o.err;
    };
    EXPECT_EQ(refused(plain_map.substr(128)), ""); // no PQ descriptor to link before
    // A torn last packet: the message ends in whatever errno says.
    EXPECT_EQ(refused(plain_map + plain_map.substr(0, 100)).rfind("Error: " + file("DDPMS") + ": ", 0), 0u);
}

TEST_F(MiniDdpTest, CdTextFromFileIsCopiedWholeAndLinkedBeforeThePqDescriptorOrLeavesNothingBehind)
{
    const std::string source = test::generated_bytes(40, 18); // two packs and a short piece
    test::write_file(file("texts.cdt"), source);
    write_fileset();
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(d(), file("texts.cdt").c_str()), 0); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file (source: " + file("texts.cdt") + ")...\n40 bytes written.\n");
    EXPECT_EQ(read("CDTEXT.BIN"), source);
    EXPECT_EQ(read("DDPMS"), cdtext_packet(40) + plain_map);
    EXPECT_FALSE(test::file_exists(file("DDPMS_")));
    ddp_add_file(d(), "S0", "EXTRA", "EXTRA.BIN", 5, 3);
    EXPECT_EQ(read("DDPMS"), cdtext_packet(40) + plain_map + map_packet("S0", 5, "EXTRA", "", "03", "EXTRA.BIN"));
    // An empty source gives an empty CDTEXT.BIN and a packet of length 0; the line
    // about the copy stays even at verbosity 0.
    write_fileset();
    test::write_file(file("empty.cdt"), "");
    log_set_verbose(0);
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(d(), file("empty.cdt").c_str()), 0); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file (source: " + file("empty.cdt") + ")...\n");
    EXPECT_EQ(read("CDTEXT.BIN") + read("DDPMS"), cdtext_packet(0) + plain_map);
    // Nothing to link into, or nothing to copy: the CDTEXT.BIN there stays as it was.
    fs::remove(file("DDPMS"));
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(d(), file("texts.cdt").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS") + ": No such file or directory\nError: No CD text written!\n");
    EXPECT_EQ(read("CDTEXT.BIN"), "");
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext_from_file(d(), file("missing.cdt").c_str()), 1); });
    EXPECT_EQ(o.err, "Error: Can't open file: '" + file("missing.cdt") +
                         "' (No such file or directory)\nError: No CD text written!\n");
}

TEST_F(MiniDdpTest, CdTextFromTheListIsWrittenAndLinkedUnlessThereIsNoneOrTooMuch)
{
    write_fileset();
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(d(), *pq), -2); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file... nothing to write, no CD text found, removing file.\n");
    EXPECT_FALSE(test::file_exists(file("CDTEXT.BIN")));
    // 99 titles of 250 bytes and the disc's empty one fill 2071 packs, with the size information 2074.
    auto big = pq_new();
    for (int i = 0; i < 99; ++i)
        new_track(*big)->title = std::string(250, 'T');
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(d(), *big), -3); });
    EXPECT_EQ(o.out + o.err, "Error: CD text is too long for one block: it needs 2074 packs, but at most 256 fit; "
                             "CDTEXT.BIN not written\n");
    EXPECT_FALSE(test::file_exists(file("CDTEXT.BIN")));
    EXPECT_EQ(read("DDPMS"), plain_map);
    // One title pack and the three size-information packs.
    pq->title = "Album";
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(d(), *pq), 0); });
    EXPECT_EQ(o.out, "Writing CDTEXT.BIN file... 72 bytes written.\n");
    EXPECT_EQ(read("DDPMS"), cdtext_packet(72) + plain_map);
    // Without a map stream the failure is reported and the CDTEXT.BIN there is not replaced.
    fs::remove(file("DDPMS"));
    pq->title = "Another album";
    o = test::capture([&] { EXPECT_EQ(ddp_write_cdtext(d(), *pq), 1); });
    EXPECT_EQ(o.err, "Error: " + file("DDPMS") + ": No such file or directory\nError: linking CD text file faild.\n");
    EXPECT_EQ(read("CDTEXT.BIN").size(), 72u);
}

TEST_F(MiniDdpTest, AFailedCheckWritesNothingTheCueSheetDescribesTheImageAndStreamsThatCannotBeCreatedAreSkipped)
{
    pq->lead_out = 449;
    EXPECT_EQ(write_fileset(1).err, "Error: PQ list: Track 01 is shorter than 4 sec.\n");
    EXPECT_TRUE(fs::is_empty(dir.path()));
    pq->lead_out = 18000;
    pq->title = "Album";
    auto o = test::capture([&] { EXPECT_EQ(ddp_write_cuesheet(d(), *pq), 0); });
    const std::string cue = "TITLE \"Album\"\nFILE \"IMAGE.DAT\" BINARY\n  TRACK 01 AUDIO\n"
                            "    INDEX 00 00:00:00\n    INDEX 01 00:02:00\n";
    EXPECT_EQ(read("IMAGE.cue"), cue);
    EXPECT_EQ(o.out, "Writing IMAGE.cue file... " + std::to_string(cue.size()) + " bytes written.\n");
    EXPECT_EQ(ddp_get_data_path(d()), file("IMAGE.DAT"));
    fs::remove(file("IMAGE.cue"));
    fs::create_directory(file("IMAGE.cue"));
    o = test::capture([&] { EXPECT_EQ(ddp_write_cuesheet(d(), *pq), -1); });
    EXPECT_EQ(o.err, "Error: " + file("IMAGE.cue") + ": Is a directory\n");
    fs::create_directory(file("SD"));
    o = write_fileset(1);
    EXPECT_EQ(o.err, "Error: " + file("SD") + ": Is a directory\n");
    EXPECT_EQ(o.out, "Writing SD file... 320 bytes written.\nWriting DDPMS file... 256 bytes written.\n"
                     "Writing DDPID file... 128 bytes written.\n");
    EXPECT_TRUE(fs::is_directory(file("SD")));
}

} // namespace
