#include "ddp_format.h"

#include <gtest/gtest.h>

namespace {

// The record built by hand: `fields` put at their published positions into blanks.
std::string laid_out(std::size_t size, std::initializer_list<std::pair<std::size_t, std::string>> fields)
{
    std::string bytes(size, ' ');
    for (const auto &[at, text] : fields)
        bytes.replace(at, text.size(), text);
    return bytes;
}

TEST(DdpFormat, RecordsReadBackAsWrittenAtTheirEdges)
{
    ddp_id_record id;
    id.upc_ean = "1234567890128";
    id.master_id = std::string(47, 'M') + "X";
    id.user_text_length = 32;
    id.user_text = std::string(31, 'u') + "!";
    ddp_map_packet widest;
    widest = {"D0", 99999999, 0, "PQ DESCR", "DA", "8", "1", 9999, 0, 99, "ABCDEFGHIJKLMNOPQ", 999999999};
    ddp_pq_entry lead_out{ddp_pq_entry::lead_out_track, 99, 0, 99, 59, 74, 15, "S", "GBAYE0000001", "0000000000000",
                          std::string(19, 'x')};
    // Every number absent: blank fields, read back as absent.
    const ddp_map_packet absent{"S0", -1, -1, "CDTEXT", "  ", " ", " ", -1, -1, -1, "CDTEXT.BIN", -1};
    ddp_pq_entry lead_in; // track 00, hours blank, texts empty
    EXPECT_EQ(ddp_decode_id(*ddp_encode(id)), id);
    EXPECT_EQ(ddp_decode_id(*ddp_encode(ddp_id_record{})), ddp_id_record{});
    EXPECT_EQ(ddp_decode_map(*ddp_encode(widest)), widest);
    EXPECT_EQ(ddp_decode_map(*ddp_encode(absent)), absent);
    EXPECT_EQ(ddp_decode_pq(*ddp_encode(lead_out)), lead_out);
    EXPECT_EQ(ddp_decode_pq(*ddp_encode(lead_in)), lead_in);
}

TEST(DdpFormat, FieldsAreWhereTheLayoutPutsThem)
{
    ddp_id_record id;
    id.upc_ean = "0724384960650";
    id.master_id = "KORVEL-0001";
    EXPECT_EQ(*ddp_encode(id), laid_out(128, {{0, "DDP 2.00"}, {8, "0724384960650"}, {38, "KORVEL-0001"}, {87, "CD"}}));
    ddp_map_packet m;
    m = {"D0", 1234, -1, "", "DA", "7", "1", -1, 150, 0, "IMAGE.DAT", -1};
    EXPECT_EQ(*ddp_encode(m), laid_out(128, {{0, "VVVMD0"}, {14, "    1234"}, {38, "DA71"}, {46, " 150"}, {55, "00"},
                                             {72, "17IMAGE.DAT"}}));
    ddp_pq_entry e{3, 1, -1, 12, 34, 56, 0xA, "1", "USRC17607839", "", ""};
    EXPECT_EQ(*ddp_encode(e), laid_out(64, {{0, "VVVS0301"}, {10, "123456A1"}, {20, "USRC17607839"}}));
    // A number too wide for its field is never written: it would shift the fields after it.
    m.dsl = 100000000;
    EXPECT_FALSE(ddp_encode(m));
    e.minutes = 100;
    EXPECT_FALSE(ddp_encode(e));
}

} // namespace
