// Throughput of korvel's linear passes, in bytes per second: CRC-32 beside
// zlib's, MD5, the CD-Text CRC, the IMAGE.DAT copy and the checksum pass; and
// libebur128's meters as the audio report runs them.
// Run build/<preset>/bench/korvel_bench; see bench/README.md.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "cdtext_pack.h"
#include "crc.h"
#include "cueparser.h"
#include "ddp_checksum.h"
#include "image_copy.h"
#include "log.h"
#include "md5.h"
#include "tolk_utils.h"

#ifdef KORVEL_HAVE_EBUR128
#include <ebur128.h>
#endif

namespace {

// Pseudo-random bytes: no tool can take a short cut on them.
std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed = 1)
{
    std::vector<std::uint8_t> v(n);
    for (auto &b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return v;
}

// Buffer sizes: one checksum-pass block, and a larger stretch that no longer
// fits the first-level cache.
void buffer_sizes(benchmark::internal::Benchmark *b) { b->Arg(256 << 10)->Arg(4 << 20)->UseRealTime(); }

void BM_crc32_update(benchmark::State &state)
{
    const auto data = noise(static_cast<std::size_t>(state.range(0)));
    std::uint64_t crc;
    crc32_init(&crc);
    for (auto _ : state) {
        crc32_update(&crc, data.data(), static_cast<long>(data.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_crc32_update)->Apply(buffer_sizes);

// The table method alone: what crc32_update does on a CPU without carry-less multiplication.
void BM_crc32_update_portable(benchmark::State &state)
{
    const auto data = noise(static_cast<std::size_t>(state.range(0)));
    std::uint64_t crc;
    crc32_init(&crc);
    for (auto _ : state) {
        crc32_update_portable(&crc, data.data(), static_cast<long>(data.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_crc32_update_portable)->Apply(buffer_sizes);

void BM_zlib_crc32(benchmark::State &state)
{
    const auto data = noise(static_cast<std::size_t>(state.range(0)));
    uLong crc = ::crc32(0L, Z_NULL, 0);
    for (auto _ : state) {
        crc = ::crc32(crc, data.data(), static_cast<uInt>(data.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_zlib_crc32)->Apply(buffer_sizes);

void BM_md5_append(benchmark::State &state)
{
    const auto data = noise(static_cast<std::size_t>(state.range(0)));
    md5_context ctx;
    md5_init(&ctx);
    for (auto _ : state) {
        md5_append(&ctx, data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(ctx.abcd);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_md5_append)->Apply(buffer_sizes);

// CD-Text packs are 18 bytes, of which the CRC covers 16.
void BM_crc_ccitt(benchmark::State &state)
{
    const auto data = noise(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::uint16_t crc = crc_ccitt(data.data(), static_cast<long>(data.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_crc_ccitt)->Arg(16)->Arg(64 << 10);

// A scratch folder with a raw disc of four minutes (42 MB) and its cue sheet.
class disc_folder {
public:
    explicit disc_folder(const char *filetype)
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-bench-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        write(file("disc.raw"), noise(4 * 60 * 44100 * 4, 80));
        const std::string cue = std::string("FILE \"disc.raw\" ") + filetype +
                                "\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 02:00:00\n";
        write(file("disc.cue"), std::vector<std::uint8_t>(cue.begin(), cue.end()));
    }
    ~disc_folder()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    disc_folder(const disc_folder &) = delete;
    disc_folder &operator=(const disc_folder &) = delete;

    std::string file(const char *name) const { return (dir_ / name).string(); }

private:
    static void write(const std::string &path, const std::vector<std::uint8_t> &bytes)
    {
        file_ptr f = tolk_fopen(path.c_str(), "wb");
        if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size() || !close_checked(f))
            throw std::runtime_error("cannot write " + path);
    }
    std::filesystem::path dir_;
};

// The audio copy into IMAGE.DAT, from a data file in the page cache.
void copy_image(benchmark::State &state, const char *filetype)
{
    log_set_verbose(0);
    disc_folder disc(filetype);
    cuesheet_t cue;
    cue_open(disc.file("disc.cue").c_str(), &cue);
    const long first_audio_byte = std::ftell(cue.files.front().input.stream());
    const std::string image = disc.file("IMAGE.DAT");
    for (auto _ : state) {
        std::fseek(cue.files.front().input.stream(), first_audio_byte, SEEK_SET);
        if (cue_copy_audio(&cue, image.c_str()) != 0)
            state.SkipWithError("cue_copy_audio failed");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * cue.pq->lead_out * 2352);
    cue_close(&cue);
}

void BM_cue_copy_audio_binary(benchmark::State &state) { copy_image(state, "BINARY"); }
BENCHMARK(BM_cue_copy_audio_binary)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_cue_copy_audio_motorola(benchmark::State &state) { copy_image(state, "MOTOROLA"); }
BENCHMARK(BM_cue_copy_audio_motorola)->Unit(benchmark::kMillisecond)->UseRealTime();

// Both digests of one file in the page cache, as the checksum pass computes them.
void BM_file_calc_checksum(benchmark::State &state)
{
    disc_folder disc("BINARY");
    const std::string path = disc.file("disc.raw");
    std::int64_t bytes = 0;
    for (auto _ : state) {
        file_ptr in = tolk_fopen(path.c_str(), "rb");
        char md5[33];
        char crc[9];
        if (!in || file_calc_checksum(in.get(), md5, crc) != 0)
            state.SkipWithError("file_calc_checksum failed");
        bytes += tolk_filesize(path.c_str());
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_file_calc_checksum)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef KORVEL_HAVE_EBUR128
// libebur128 alone over a minute of noise, fed as the audio report feeds it (0.2 s at a time):
// 0, a stereo meter of integrated loudness and loudness range (the tracks' and the programme's);
// 1, one channel's true peak. The report runs two of each, half on each core, so the sum of
// the four over two is the least time any run of it can take.
void BM_ebur128_meter(benchmark::State &state)
{
    const bool peak = state.range(0) == 1;
    const std::size_t frames = 60 * 44100;
    const std::vector<std::uint8_t> bytes = noise(frames * 4);
    std::vector<short> stereo(frames * 2);
    std::memcpy(stereo.data(), bytes.data(), bytes.size());
    std::vector<short> left(frames);
    for (std::size_t i = 0; i < frames; ++i)
        left[i] = stereo[2 * i];
    const auto close = [](ebur128_state *st) { ebur128_destroy(&st); };
    for (auto _ : state) {
        const std::unique_ptr<ebur128_state, decltype(close)> st(
            ebur128_init(peak ? 1 : 2, 44100,
                         peak ? EBUR128_MODE_TRUE_PEAK : EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM),
            close);
        if (!st) {
            state.SkipWithError("ebur128_init failed");
            break;
        }
        for (std::size_t at = 0; at < frames; at += 8820) {
            const std::size_t n = std::min<std::size_t>(8820, frames - at);
            ebur128_add_frames_short(st.get(), peak ? &left[at] : &stereo[2 * at], n);
        }
        double v = 0;
        if (peak)
            ebur128_true_peak(st.get(), 0, &v);
        else
            ebur128_loudness_global(st.get(), &v);
        benchmark::DoNotOptimize(v);
    }
    // In bytes of the disc's audio: a minute is 10,584,000 bytes.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * 4));
}
BENCHMARK(BM_ebur128_meter)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

} // namespace

BENCHMARK_MAIN();
