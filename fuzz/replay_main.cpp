// Replays inputs through a fuzz harness without libFuzzer, so that the seed
// corpora and every input a fuzzer once failed on run in the ordinary test
// build. Each argument is an input file or a folder of them (taken in name order).
// A harness that finds a fault traps or is stopped by a sanitizer, and the test fails.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tolk_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputs_of(const char *arg)
{
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    if (std::filesystem::is_directory(arg, ec)) {
        for (const auto &entry : std::filesystem::directory_iterator(arg, ec))
            if (entry.is_regular_file())
                found.push_back(entry.path());
        std::sort(found.begin(), found.end());
    } else {
        found.emplace_back(arg);
    }
    return found;
}

bool read_whole(const std::filesystem::path &path, std::vector<std::uint8_t> &bytes)
{
    file_ptr fp = tolk_fopen(path.c_str(), "rb");
    if (!fp)
        return false;
    bytes.clear();
    std::uint8_t block[4096];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, fp.get())) > 0)
        bytes.insert(bytes.end(), block, block + n);
    return std::ferror(fp.get()) == 0;
}

} // namespace

int main(int argc, char *argv[])
{
    // The harness silences standard output and error at its first input; the replay
    // reports through a copy of standard error made before that.
    file_ptr log(fdopen(dup(STDERR_FILENO), "w"));
    if (!log)
        return 2;
    std::size_t replayed = 0;
    std::vector<std::uint8_t> bytes;
    for (int i = 1; i < argc; ++i) {
        for (const auto &path : inputs_of(argv[i])) {
            if (!read_whole(path, bytes)) {
                std::fprintf(log.get(), "replay: cannot read %s\n", path.c_str());
                return 1;
            }
            // Named before it runs: a crash report then follows the input's name.
            std::fprintf(log.get(), "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
            std::fflush(log.get());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            ++replayed;
        }
    }
    // A replay that ran nothing would pass without checking anything.
    if (replayed == 0) {
        std::fprintf(log.get(), "replay: no inputs found\n");
        return 1;
    }
    std::fprintf(log.get(), "replay: %zu inputs replayed without a fault\n", replayed);
    return 0;
}
