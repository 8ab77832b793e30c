// Fuzz target: the evaluation of an audio data file named on a WAVE line, on an
// in-memory file: what it really is, the WAVE walk or the FLAC header and the CD
// audio checks, then, for a file that is taken, the whole audio read as the image
// copy reads it (FLAC decoded, frame checks and MD5 signature) in blocks of varying size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio_input.h"
#include "fuzz_support.h"
#include "log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    audio_input in;
    try {
        in = audio_input::open(fuzz::memory_file(data, size), "fuzz.wav", audio_declared::wave);
    } catch (const fatal_error &e) {
        if (e.status() != 1)
            __builtin_trap();
        return 0;
    }
    // A WAVE file promises no more than it holds (the evaluation refuses a truncated one);
    // FLAC states its length, which the decoding must then bear out.
    if (!in || (!in.is_flac() && in.size() > size))
        __builtin_trap();
    std::vector<unsigned char> block(65536 + 7);
    std::uint64_t left = in.size();
    std::size_t step = 1 + size % block.size();
    audio_input::status status = audio_input::status::ok;
    while (left > 0 && status == audio_input::status::ok) {
        const std::size_t n = left < step ? static_cast<std::size_t>(left) : step;
        status = in.read(block.data(), n);
        left -= n;
        step = 1 + (step * 7 + 3) % block.size();
    }
    if (status == audio_input::status::ok)
        status = in.finish();
    // A WAVE file that holds its audio is read whole; only FLAC can turn out damaged,
    // and then it says why.
    if (!in.is_flac() && status != audio_input::status::ok)
        __builtin_trap();
    if (status == audio_input::status::damaged && in.damage() == "fuzz.wav: ")
        __builtin_trap();
    return 0;
}
