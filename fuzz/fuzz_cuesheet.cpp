// Fuzz target: a cue sheet read end to end by cue_open, with small audio and
// CD-Text files beside it so that parsing goes on into the evaluation of the
// data file and of the CD-Text file; a sheet that parses is then summarised and
// checked against the Red Book rules, as the driver does.
//
// The files beside the sheet (the names are in cuesheet.dict):
//   a.wav   8 s of CD audio in a WAVE file      a.raw   8 s and half a sector, raw
//   m.wav   a mono WAVE file                     t.wav   a WAVE whose data chunk is cut short
//   odd.raw 6 bytes: half a sample frame over    one.cdt / two.cdt  CD-Text for 1 and 2 tracks
#include <cstddef>
#include <cstdint>
#include <string>

#include "cue_summary.h"
#include "cueparser.h"
#include "fuzz_support.h"
#include "log.h"
#include "pq_cdtext.h"
#include "pqlist.h"

namespace {

constexpr std::uint32_t cd_rate = 44100;
constexpr std::size_t audio_bytes = 8 * 75 * CD_FRAME_BYTES;

void put16(std::string &s, unsigned v)
{
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string &s, std::uint32_t v)
{
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

/// A canonical WAVE file: fmt chunk of 16 bytes, then a data chunk that claims `claimed` bytes.
std::string wave(std::uint16_t channels, std::size_t audio, std::uint32_t claimed)
{
    std::string fmt;
    put16(fmt, 1);
    put16(fmt, channels);
    put32(fmt, cd_rate);
    put32(fmt, cd_rate * 2u * channels);
    put16(fmt, 2u * channels);
    put16(fmt, 16);
    std::string body = "WAVEfmt ";
    put32(body, static_cast<std::uint32_t>(fmt.size()));
    body += fmt;
    body += "data";
    put32(body, claimed);
    body += std::string(audio, '\0');
    std::string file = "RIFF";
    put32(file, static_cast<std::uint32_t>(body.size()));
    return file + body;
}

/// Binary CD-Text for `tracks` tracks with a disc title and track titles, by korvel's writer.
void write_cdtext(const std::string &path, int tracks)
{
    auto pq = pq_new();
    pq->title = "Fuzz Disc";
    pq->performer = "The Fuzzers";
    for (int n = 1; n <= tracks; ++n)
        new_track(*pq)->title = "Track " + std::to_string(n);
    file_ptr out = tolk_fopen(path.c_str(), "wb");
    if (!out || pq_write_cdtext(*pq, out.get()) != 0 || !close_checked(out))
        std::abort();
}

void write(const fuzz::scratch_dir &dir, const char *name, const std::string &bytes)
{
    fuzz::write_file(dir.file(name), bytes.data(), bytes.size());
}

const fuzz::scratch_dir &sheet_dir()
{
    static const fuzz::scratch_dir dir;
    static const bool made = [] {
        write(dir, "a.wav", wave(2, audio_bytes, audio_bytes));
        write(dir, "m.wav", wave(1, 4 * CD_FRAME_BYTES, 4 * CD_FRAME_BYTES));
        write(dir, "t.wav", wave(2, 4 * CD_FRAME_BYTES, audio_bytes));
        write(dir, "a.raw", std::string(audio_bytes + CD_FRAME_BYTES / 2, '\0'));
        write(dir, "odd.raw", std::string(6, '\0'));
        write_cdtext(dir.file("one.cdt"), 1);
        write_cdtext(dir.file("two.cdt"), 2);
        return true;
    }();
    static_cast<void>(made);
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    const fuzz::scratch_dir &dir = sheet_dir();
    const std::string path = dir.file("in.cue");
    fuzz::write_file(path, data, size);

    cuesheet_t cue;
    try {
        cue_open(path.c_str(), &cue);
    } catch (const fatal_error &e) {
        if (e.status() != 1)
            __builtin_trap();
        return 0;
    }
    // A parsed sheet is complete: open data files, an image that is the lead-out's whole sectors,
    // and index positions that rise to it.
    long image = 0;
    for (const auto &piece : cue.image)
        image += static_cast<long>(piece.bytes);
    if (!cue.pq || !cue.pq->tracks || cue.files.empty() || cue.pq->lead_out < 0 ||
        cue.pq->lead_out * CD_FRAME_BYTES != image || image < cue.pregap_size + cue.audio_size + cue.padding_size)
        __builtin_trap();
    for (const auto &file : cue.files)
        if (!file.input)
            __builtin_trap();
    long previous = -1;
    for (const PQtrack *t = cue.pq->tracks.get(); t != nullptr; t = t->next.get())
        for (long position : t->index)
            if (position != -1 && (position <= previous || position > cue.pq->lead_out))
                __builtin_trap();
            else if (position != -1)
                previous = position;
    cue_summary(&cue);
    pq_check(*cue.pq);
    cue_close(&cue);
    return 0;
}
