#include "block_pipeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "log.h"
#include "parallel_digest.h"
#include "test_support.h"
#include "tolk_utils.h"

namespace {

// Each row runs on one thread and on two: the same blocks, the same faults, the same digests.
class BlockPipelineTest : public ::testing::TestWithParam<int> {
protected:
    void TearDown() override { threads_set(0); }
};

INSTANTIATE_TEST_SUITE_P(Threads, BlockPipelineTest, ::testing::Values(1, 2));

TEST_P(BlockPipelineTest, HandsEveryBlockOverOnceInOrderWithinItsDepth)
{
    std::string seen;
    std::set<const unsigned char *> buffers;
    block_pipeline pipeline(GetParam(), 8, [&](data_block &b) {
        seen.append(reinterpret_cast<const char *>(b.data.get()), b.size);
        buffers.insert(b.data.get());
        return true;
    }, 3);
    const std::string text = test::generated_bytes(1000, 7);
    for (std::size_t at = 0; at < text.size(); at += 8) {
        data_block b = pipeline.take();
        ASSERT_TRUE(b.data);
        b.size = std::min<std::size_t>(8, text.size() - at);
        std::memcpy(b.data.get(), text.data() + at, b.size);
        ASSERT_TRUE(pipeline.give(std::move(b)));
    }
    EXPECT_TRUE(pipeline.finish());
    EXPECT_EQ(seen, text);
    EXPECT_LE(buffers.size(), GetParam() == 1 ? 1u : 3u);
}

TEST_P(BlockPipelineTest, ConsumerThatFailsStopsTheProducer)
{
    int consumed = 0;
    block_pipeline pipeline(GetParam(), 16, [&](data_block &) { return ++consumed < 5; });
    int given = 0;
    for (data_block b = pipeline.take(); b.data && pipeline.give(std::move(b)); b = pipeline.take())
        ASSERT_LT(++given, 1000) << "the producer never learnt that the consumer stopped";
    EXPECT_FALSE(pipeline.finish());
    EXPECT_EQ(consumed, 5);
}

TEST_P(BlockPipelineTest, ConsumerFaultIsRethrownOnTheOwner)
{
    block_pipeline pipeline(GetParam(), 16, [](data_block &b) -> bool {
        if (b.tag == 3)
            throw fatal_error(7);
        return true;
    });
    try {
        data_block b = pipeline.take();
        for (int tag = 0; b.data && tag < 50; b = pipeline.take()) {
            b.tag = tag++;
            if (!pipeline.give(std::move(b)))
                break;
        }
        pipeline.finish();
        ADD_FAILURE() << "the consumer's fault was lost";
    } catch (const fatal_error &e) {
        EXPECT_EQ(e.status(), 7);
    }
}

TEST_P(BlockPipelineTest, DigestFileAgreesWithMd5sumAndZlib)
{
    threads_set(GetParam());
    test::TempDir dir;
    const std::string path = dir.file("data");
    test::write_file(path, test::generated_bytes(3 * 256 * 1024 + 77, 11));
    file_ptr in = tolk_fopen(path.c_str(), "rb");
    digest_pair d;
    ASSERT_EQ(digest_file(in.get(), 3 * 256 * 1024 + 77, &d), 0);
    EXPECT_EQ(d.md5 + "  " + path + "\n", test::run_command("md5sum " + path));
    EXPECT_EQ(d.crc32 + "\n", test::run_command("python3 -c 'import sys, zlib; print(\"%08X\" % "
                                                "zlib.crc32(open(sys.argv[1], \"rb\").read()))' " + path));
    // A stream that cannot be read gives no digest.
    file_ptr folder = tolk_fopen(dir.path().c_str(), "rb");
    ASSERT_TRUE(folder);
    EXPECT_EQ(digest_file(folder.get(), 4096, &d), -1);
}

} // namespace
