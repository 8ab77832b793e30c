// Fuzz target: the RIFF/WAVE chunk walk on an in-memory file, then the report of
// whatever it accepted. Structural faults end the input through fatal_error.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "fuzz_support.h"
#include "log.h"
#include "waveparser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    wave_t w;
    try {
        if (wave_open_stream(fuzz::memory_file(data, size), &w) != 0)
            __builtin_trap(); // the stream form reports faults only by fatal_error
    } catch (const fatal_error &) {
        return 0;
    }
    // An accepted file's audio starts inside it (a data chunk may claim more than the file
    // holds: that is for the caller to judge), its end never wraps, and the stream waits
    // at the first audio byte.
    if (w.audio_start == 0 || w.audio_start > size || w.audio_end < w.audio_start ||
        w.audio_end - w.audio_start > w.audio_length || std::ftell(w.fp.get()) != static_cast<long>(w.audio_start))
        __builtin_trap();
    // Nothing is taken that the file does not hold.
    if (w.xtoc.size() > size || w.axml.size() > size + 1 || w.cue_points.size() * 24 > size)
        __builtin_trap();
    wave_summary(&w);
    wave_delete(&w);
    if (wave_close(&w) != 0)
        __builtin_trap();
    return 0;
}
