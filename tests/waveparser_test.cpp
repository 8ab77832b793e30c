// The WAVE reader against files built byte by byte: the layouts it walks, every refusal
// with its diagnostic, cut and hostile files, the summary, and files that sox wrote.
#include "waveparser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <source_location>
#include <tuple>

#include "log.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

std::string u16(std::uint16_t v) { std::string s; test::put_u16(s, v); return s; }
std::string u32(std::uint32_t v) { std::string s; test::put_u32(s, v); return s; }
/// A chunk header that states `size`, whatever follows it; a whole chunk, padded to an even size.
std::string header(const char *id, std::uint32_t size) { return std::string(id, 4) + u32(size); }
std::string chunk(const char *id, const std::string &b) { return header(id, b.size()) + b + std::string(b.size() % 2, 0); }
std::string list(const char *type, const std::string &body) { return chunk("LIST", std::string(type, 4) + body); }
std::string wav(const std::string &body, const char *form = "WAVE") { return chunk("RIFF", form + body); }
/// The 14 bytes that every fmt chunk holds, for stereo at 44.1 kHz.
std::string fmt_fields(std::uint16_t tag) { return u16(tag) + u16(2) + u32(44100) + u32(176400) + u16(4); }
const std::string fmt_pcm = chunk("fmt ", fmt_fields(WAVE_FORMAT_PCM) + u16(16)), data4 = chunk("data", "abcd");
std::string around(const std::string &x) { return wav(fmt_pcm + x + data4); }
std::string after(const std::string &x) { return wav(fmt_pcm + data4 + x); }
std::string diag(long at, const char *m) { return "Wave parser error (offset " + std::to_string(at) + "): " + m + "\n"; }
std::string point(std::uint32_t id, const char *chunk_id, std::uint32_t sample_offset)
{
    return u32(id) + u32(id * 10) + std::string(chunk_id, 4) + u32(0) + u32(0) + u32(sample_offset);
}
const std::string cue3 = u32(3) + point(1, "data", 0) + point(2, "data", 44100) + point(3, "data", 88200);
/// A bext body of `size` bytes (at least 412) whose originator fills its 32 bytes, unterminated.
std::string bext_body(std::size_t size)
{
    std::string b = "Session take 3" + std::string(242, '\0') + std::string(32, 'O') + "REF-0001" +
                    std::string(24, '\0') + "2024-01-3112:34:56" + u32(0x01020304) + u32(0xFFFFFFFE) + u16(1);
    for (char i = 0; i < 64; ++i)
        b += i; // the UMID
    return b + std::string(size - b.size(), '\0');
}

/// `bytes` as a file on disk, opened for reading: the file goes with its folder, the stream stays.
file_ptr on_disk(const std::string &bytes)
{
    const test::TempDir dir;
    test::write_file(dir.file("in.wav"), bytes);
    return tolk_fopen(dir.file("in.wav").c_str(), "rb");
}
/// One walk: the wave, the status of the fatal_error thrown (0 if none) and what was printed.
struct Parsed {
    wave_t w;
    int status = 0;
    test::Output o;
    Parsed(const std::string &bytes) : Parsed(on_disk(bytes)) {} // implicit: a row passes its bytes as they are
    Parsed(file_ptr fp) : o(test::capture([&] { walk(std::move(fp)); })) {}
    void walk(file_ptr fp)
    {
        try {
            wave_open_stream(std::move(fp), &w);
        } catch (const fatal_error &e) {
            status = e.status();
        }
    }
};

/// Standard error is `err` whole (with a parser error the walk failed, else the file waits at the first audio byte),
/// standard output empty; unless `start` is 0 the audio is `length` bytes there; the wave holds `cues` cue points.
const Parsed &expect_walk(const Parsed &r, const std::string &err, std::uint32_t start = 0, std::uint32_t length = 0,
                          std::size_t cues = 0, std::source_location at = std::source_location::current())
{
    const testing::ScopedTrace trace(at.file_name(), static_cast<int>(at.line()), "");
    const bool fatal = err.find("Wave parser error") != std::string::npos;
    EXPECT_EQ(std::tuple(r.status, r.o.err, r.o.out), std::tuple(fatal ? 1 : 0, err, ""s));
    EXPECT_TRUE(fatal || std::ftell(r.w.fp.get()) == static_cast<long>(r.w.audio_start));
    if (start != 0) { // the end is held at the last 32-bit offset rather than wrapped
        EXPECT_EQ(std::tuple(r.w.audio_start, r.w.audio_length, std::uint64_t{r.w.audio_end}),
                  std::tuple(start, length, std::min(std::uint64_t{start} + length, std::uint64_t{~0u})));
    }
    EXPECT_EQ(std::tuple(r.w.cue_points.size(), r.w.has_cue), std::tuple(cues, cues > 0 ? 1 : 0));
    return r;
}

/// Every metadata chunk the walk reads, and a list on the way.
const std::string meta = wav(fmt_pcm + list("INFO", chunk("INAM", "Song")) + chunk("bext", bext_body(602)) +
                             chunk("cue ", u32(2) + point(1, "data", 0) + point(7, "ab\0\0", ~0u)) +
                             chunk("XTOC", "S\0i\0d\0e\0 \0A\0Z"s) + chunk("axml", "<a/>") + chunk("data", "0123"));

/// A walk that turns back goes round for ever: the alarm ends the test binary instead.
struct Deadline { Deadline() { alarm(60); } ~Deadline() { alarm(0); } };

TEST(WaveWalk, EveryLayoutIsWalkedOrRefusedWithItsDiagnostic)
{
    const Deadline deadline;
    // The readers under the walk compose values byte by byte; the last one finds one byte left.
    const file_ptr fp = on_disk("\xFE\xFF\xFF\xFF\xFE\xFF\x01\x02\x03");
    std::tuple<std::int32_t, std::int16_t, std::uint16_t, std::uint32_t> v{0, 0, 0, 7};
    const std::array<std::size_t, 4> read = { // a braced list is evaluated in order
        fread_int32_le(&std::get<0>(v), fp.get()), fread_int16_le(&std::get<1>(v), fp.get()),
        fread_uint16_le(&std::get<2>(v), fp.get()), fread_uint32_le(&std::get<3>(v), fp.get())};
    EXPECT_EQ(std::tuple(read, v), std::tuple(std::array<std::size_t, 4>{1, 1, 1, 0}, std::tuple(-2, -2, 0x0201, 7u)));
    const std::string wave = test::make_wave("abcd"), fmt0 = chunk("fmt ", fmt_fields(0) + u16(16));
    const char *eof = "Unexpected end of file while reading chunk size.", *not_wave = "not a Microsoft WAVE file.\n";
    // The one warning a walk kept for the caller, if it kept one.
    const auto skipped = [](const Parsed &p) { return p.w.warnings.size() == 1 ? p.w.warnings[0] : "(none)"s; };
    // fmt: 14 bytes for every format, 2 more for PCM's sample width.
    expect_walk(wav(chunk("fmt ", fmt_fields(3)) + data4), "", 42, 4);
    expect_walk(wav(chunk("fmt ", fmt_fields(1)) + data4), diag(34, "Format chunk too short, 16 bytes expected."));
    expect_walk(wav(chunk("fmt ", fmt_fields(3).substr(0, 13)) + data4), diag(20, "Format chunk too short!"));
    // Format code 0 counts as no fmt chunk at all.
    expect_walk(wav(fmt0 + fmt_pcm + data4), "", 68, 4);
    expect_walk(wav(fmt0 + data4), diag(48, "format chunk not found.\n"));
    expect_walk(around(fmt_pcm), diag(44, "Only one format chunk allowed within wave file."));
    expect_walk(wav(fmt_pcm), diag(36, "data chunk not found.\n"));
    expect_walk(after(chunk("data", "efgh")), diag(56, "This parser supports only one data chunk within wave file."));
    // The cue chunk is found only where both pad bytes put it.
    expect_walk(wav(chunk("junk", "xyz") + fmt_pcm + chunk("data", "12345") + chunk("cue ", cue3)), "", 56, 5, 3);
    // RIFF 12, fmt 24, INFO list 12 + 12 + 14, adtl list 12, data header 8.
    expect_walk(wav(fmt_pcm + list("INFO", chunk("INAM", "Song") + chunk("IART", "Band\0"s)) +
                    list("adtl", chunk("data", "abcd"))), "", 94, 4);
    EXPECT_EQ(expect_walk(wav(fmt_pcm + data4, "AVI "), diag(48, not_wave), 44, 4).w.format_tag, 1);
    // Bytes after the RIFF chunk are further top-level chunks; fewer than 4 are none.
    expect_walk(wave + chunk("cue ", cue3), "", 44, 4, 3);
    expect_walk(wave + header("junk", 0), "", 44, 4);
    for (std::size_t n = 1; n <= 7; ++n)
        expect_walk(wave + std::string(n, 'x'), n < 4 ? "" : diag(48 + n, eof), 44, 4);
    // A data chunk running on past its RIFF's end: audio that looks like a chunk header stays audio.
    expect_walk(header("RIFF", 36) + "WAVE" + fmt_pcm + header("data", 32) + data4 + std::string(20, 'x'), "", 44, 32);
    // A cue chunk that runs past its list: its first point, read as a chunk header, skips to a
    // cue chunk hidden in the points, which a second walk of them would find.
    const std::string cue_past_list = header("LIST", 16) + "adtl" + header("cue ", 64) + u32(2) + u32(1) + u32(16) +
                                      "data" + std::string(12, '\0') + chunk("cue ", u32(1) + point(7, "data", 0));
    EXPECT_EQ(expect_walk(around(cue_past_list), "", 128, 4, 2).w.cue_points.at(1).id, 0x20657563u); // "cue "
    // A container too small for its type is empty: RIFF of 2 must not take "WAVE" as its form. Its
    // "WAVE" and "fmt " read as a chunk send the walk past the file, whose end the diagnostic names.
    expect_walk(header("RIFF", 2) + "WAVE" + fmt_pcm + data4, diag(48, not_wave));
    expect_walk(after(header("LIST", 0)), "", 44, 4);
    expect_walk(around(chunk("LIST", "ab")), "", 54, 4);
    // Every empty list moves the walk on. RIFF and 15 lists are 16 levels; a 17th is refused
    // right after its type, as is a file nested deeper than the stack would bear.
    std::string nested = fmt_pcm + data4, deep, lists;
    for (int i = 0; i < 100000; ++i) {
        nested = i < 15 ? list("TEST", nested) : nested;
        deep += header("LIST", 0xFFFFFF00) + "DEEP";
        lists += i < 5000 ? list("INFO", "") + header("LIST", 0) + chunk("LIST", "ab") : "";
    }
    expect_walk(wav(lists + fmt_pcm + data4), "", 12 + 5000 * 30 + 24 + 8, 4);
    expect_walk(wav(nested), "", 12 * 16 + 32, 4);
    expect_walk(wav(list("TEST", nested)), diag(12 * 17, "Container chunks nested deeper than 16 levels."));
    expect_walk(wav(deep), diag(12 * 17, "Container chunks nested deeper than 16 levels."));
    // Sizes past 4 GiB: 52 + 8 + 0xFFFFFFF8 wraps to 52, this chunk's own header; inside the RIFF
    // the list reaches beyond the file and holds the data chunk, and the walk ends with the file.
    expect_walk(test::make_wave("abcdefgh") + header("junk", 0xFFFFFFF8) + "xxxx", "", 44, 8);
    expect_walk(around(header("LIST", 0xFFFFFFF8) + "INFO"), "", 56, 4);
    // Sizes that a writer to a pipe never filled in. The form runs to the end of the file,
    // whatever its size; a data size of 0, 0xFFFFFFFF or sox's 0x7FFFF000 that the file does
    // not hold means the audio does too. One warning says which; a real size is kept.
    const char *to_end = "the data chunk's size was never filled in (a file written to a pipe): the audio runs to "
                         "the end of the file, 8 bytes";
    for (const std::uint32_t riff : {0u, ~0u, 30u, 44u})
        for (const std::uint32_t data : {0u, ~0u, 0x7FFFF000u, 8u}) {
            const Parsed p(header("RIFF", riff) + "WAVE" + fmt_pcm + header("data", data) + "abcdefgh");
            const std::string riff_short = "the RIFF chunk's size (" + std::to_string(riff) + ") does not cover the "
                                           "data chunk (a file written to a pipe): the audio is read as the data chunk states";
            EXPECT_EQ(skipped(expect_walk(p, "", 44, 8)), data != 8 ? to_end : riff != 44 ? riff_short : "(none)")
                << riff << " " << data;
        }
    // RF64: the sizes are in the ds64 chunk, which must come before the data.
    const std::string ds64 = chunk("ds64", u32(100) + u32(0) + u32(6) + u32(0) + u32(0) + u32(0) + u32(0));
    EXPECT_EQ(expect_walk(header("RF64", ~0u) + "WAVE" + ds64 + fmt_pcm + header("data", ~0u) + "abcdefgh", "", 80, 6)
                  .w.warnings.size(), 0u);
    EXPECT_EQ(skipped(expect_walk(header("BW64", ~0u) + "WAVE" + fmt_pcm + header("data", ~0u) + "abcdefgh", "", 44, 8)),
              to_end);
    const std::string ds64_5g = chunk("ds64", u32(100) + u32(0) + u32(0) + u32(1) + std::string(12, '\0'));
    expect_walk(header("RF64", ~0u) + "WAVE" + ds64_5g + fmt_pcm + header("data", ~0u) + "abcdefgh",
                diag(80, "RF64 data chunk of 4294967296 bytes: korvel reads up to 4 GiB of audio, a CD holds less than 1 GiB."));
    // Wave Format Extensible names its format in a GUID: PCM or float, or nothing korvel knows.
    const auto extensible = [&](std::uint16_t cb_size, const std::string &guid) {
        return Parsed(wav(chunk("fmt ", fmt_fields(WAVE_FORMAT_EXTENSIBLE) + u16(16) + u16(cb_size) + u16(16) + u32(3) +
                                            guid) + data4)).w.subformat;
    };
    const std::string tail = "\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71"s;
    EXPECT_EQ(std::tuple(extensible(22, u32(1) + tail), extensible(22, u32(3) + tail), extensible(21, u32(1) + tail),
                         extensible(22, u32(0x10001) + tail), extensible(22, u32(1) + tail.substr(0, 11) + "\x72")),
              std::tuple(1, 3, 0, 0, 0));
    // The data chunk ends at 0xFFFFFFF0; the next chunk's contents would start at 0xFFFFFFF8 and
    // wrap to 0xF8, and a header at 4 GiB cannot be addressed at all. The file is sparse.
    const test::TempDir dir;
    const std::string big = dir.file("big.wav");
    test::write_file(big, header("RIFF", 0xFFFFFFE8) + "WAVE" + fmt_pcm + header("data", 0xFFFFFFF0 - 44));
    std::filesystem::resize_file(big, 0xFFFFFFF0);
    std::ofstream(big, std::ios::binary | std::ios::app) << header("LIST", 0x100) + "WAVE" + u32(0) + wav(data4);
    ASSERT_EQ(std::filesystem::file_size(big), 0x100000000u + 24);
    expect_walk(tolk_fopen(big.c_str(), "rb"), "", 44, 0xFFFFFFF0 - 44);
    // The walk seeks after every chunk: a pipe cannot be walked.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], data4.data(), data4.size()), static_cast<ssize_t>(data4.size()));
    close(fds[1]);
    expect_walk(file_ptr(fdopen(fds[0], "rb")), "Wave parser error (offset -1): Cannot seek in wave file: Illegal seek\n");
    // Metadata that korvel does not use never blocks the audio: chunks too short for their fields
    // are skipped with a warning for the caller, ones longer than the file with a note.
    const std::string cue_short = "cue chunk too short (3 bytes): its cue points are skipped";
    const std::string xtoc_note = "failed to read XTOC chunk: Unexpected end of file\n";
    const std::string axml_note = "failed to read axml chunk: Unexpected end of file\n";
    EXPECT_EQ(expect_walk(around(chunk("bext", bext_body(600))), "", 652, 4).w.has_bext, 1);
    EXPECT_EQ(skipped(expect_walk(around(chunk("bext", bext_body(599))), "", 652, 4)),
              "bext chunk too short (599 bytes, 602 expected): its Broadcast Wave fields are skipped");
    EXPECT_EQ(skipped(expect_walk(around(chunk("cue ", cue3.substr(0, 75))), "", 128, 4)),
              "cue chunk states 3 cue points, which its 75 bytes do not hold: its cue points are skipped");
    EXPECT_EQ(skipped(expect_walk(around(chunk("cue ", "abc")), "", 56, 4)), cue_short);
    expect_walk(around(chunk("cue ", u32(0))), "", 56, 4); // no points: nothing to show
    // Counts the file cannot hold are skipped before anything is allocated: ten million, as the
    // chunk size agrees; one whose 24-fold wraps 32 bits to 8; the largest.
    for (const std::string &cue : {header("cue ", 240'000'004) + u32(10'000'000) + point(1, "data", 0),
                                   chunk("cue ", u32(0x0AAAAAAB) + std::string(12, 'x')), header("cue ", ~0u) + u32(~0u)})
        EXPECT_EQ(skipped(expect_walk(after(cue), "", 44, 4)).find("cue points are skipped") != std::string::npos, true);
    const Parsed x(after("") + header("XTOC", 0xFFFFFF00) + "T\0O\0"s);
    EXPECT_EQ(expect_walk(x, xtoc_note, 44, 4).w.xtoc.capacity() + x.w.has_xtoc, 0u);
    EXPECT_EQ(expect_walk(after(header("axml", 0x7FFFFFFF) + "<a/>"), axml_note, 44, 4).w.has_axml, 0);
    // An XTOC that swallows the data chunk: the note explains the diagnostic at the file's end,
    // where the walk went on at the XTOC's claimed end.
    expect_walk(around(header("XTOC", 0xFFFFFF00)), xtoc_note + diag(56, "data chunk not found.\n"));
    // Every cut short of the audio ends in one diagnostic (after "not found." comes a blank line), after at
    // most the note of a metadata chunk that the cut went through. The audio itself is never read.
    for (std::size_t cut = 0; cut < meta.size(); ++cut) {
        const Parsed c(meta.substr(0, cut));
        const std::string note = c.o.err.substr(0, c.o.err.find("Wave parser error")), rest = c.o.err.substr(note.size());
        if (cut < meta.size() - 4)
            EXPECT_TRUE(c.status == 1 && (note.empty() || note == xtoc_note || note == axml_note) && !rest.empty() &&
                        rest.find('\n') + 1 >= rest.size() - 1) << cut << ": " << c.o.err;
        else
            expect_walk(c, "", 772, 4, 2);
    }
    const char *type = "Unexpected end of file while reading container chunk type.";
    for (const auto &[cut, message] : std::initializer_list<std::pair<std::size_t, const char *>>{
             {6, eof}, {10, type}, {40, eof}, {46, type}, {30, "Format chunk too short!"}, {70, "data chunk not found.\n"}})
        expect_walk(meta.substr(0, cut), diag(cut, message));
}

TEST(WaveSummary, ReportsTheFormatPlayTimeAndMetadata)
{
    wave_t w;
    const auto report = [&](std::uint16_t tag, std::uint16_t bits, std::uint16_t align, std::uint16_t channels,
                            std::uint32_t rate) {
        std::tie(w.format_tag, w.bits_per_sample, w.block_align, w.channels, w.sample_rate) =
            std::tuple(tag, bits, align, channels, rate);
        const std::string text = test::capture([&] { wave_summary(&w); }).out;
        char t[13];
        return text.substr(22, text.find('\n') - 22) + " | " + wave_format_time(&w, 264600, t); // format name, play time
    };
    // Float samples take 4 bytes whatever the width says; 20-bit ones 3, as the alignment tells.
    EXPECT_EQ(report(WAVE_FORMAT_IEEE_FLOAT, 64, 0, 2, 44100), "Linear PCM, floating point (03h) | 00:00:00.750");
    EXPECT_EQ(report(WAVE_FORMAT_PCM, 20, 6, 2, 44100), "Linear PCM, fixed point (01h) | 00:00:01.000");
    EXPECT_EQ(report(WAVE_FORMAT_EXTENSIBLE, 0, 1, 2, 44100), "Wave Format Extensible (FFFEh) | "); // under a byte a channel
    EXPECT_EQ(report(0x0055, 0, 6, 0, 44100), " (55h) | ");                                       // no channels: no time
    EXPECT_EQ(report(WAVE_FORMAT_EXTENSIBLE, 0, 6, 2, 0), "Wave Format Extensible (FFFEh) | ");     // no rate: no time

    Parsed r(meta);
    wave_t &m = r.w;
    EXPECT_EQ(std::tuple(m.time_reference_low, m.time_reference_high, m.umid[0], m.umid[63], m.cue_points.at(1).position),
              std::tuple(0x01020304, -2, 0, 63, 70u));
    EXPECT_EQ(std::tuple(std::string(m.xtoc.begin(), m.xtoc.end()), m.xtoc_size, std::string(m.axml.begin(), m.axml.end())),
              std::tuple("S\0i\0d\0e\0 \0A\0Z"s, 13u, "<a/>\0"s)); // the XML is held with a terminating zero byte
    EXPECT_EQ(m.axml_size, 4u);
    EXPECT_EQ(test::capture([&] { wave_summary(&m); }).out,
              "Format              : Linear PCM, fixed point (01h)\nChannels            : 2\n"
              "Samples per sec     : 44100\nBits per sample     : 16\n"
              "Audio length        : 4 (00:00:00.000)\nAudio start (offset): 772\nAudio end (offset)  : 776\n"
              "\nBroadcast Wave Extension (version 1)\n------------------------------------\n"
              "Description         : Session take 3\nOriginator          : OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO\n"
              "Originator reference: REF-0001\nOrigination date    : 2024-01-31\nOrigination time    : 12:34:56\n"
              "\nCue Points (2)\n------------------------------------\n"
              "1 Chunk: data  Offset: 0\n7 Chunk: ab    Offset: -1\n"
              "\nPyaramix Table of Contents (XTOC):\nSide A\n");
    wave_delete(&m); // hands back what the metadata held; the file stays open
    EXPECT_EQ(m.cue_points.capacity() + m.xtoc.capacity() + m.axml.capacity() + m.xtoc_size + m.axml_size, 0u);
    EXPECT_EQ(std::tuple(m.has_cue + m.has_xtoc + m.has_axml, m.fp != nullptr), std::tuple(0, true));
}

TEST(WaveOpen, FilesThatSoxWroteAgreeWithWhatSoxSays)
{
    // CD audio is plain PCM; sox writes 24 bits as Wave Format Extensible (with the PCM subformat)
    // and float with an extended fmt and a fact chunk, and the data chunk last.
    const test::TempDir dir;
    const std::string path = dir.file("sox.wav");
    wave_t w;
    for (const auto &[options, tag, width] : std::initializer_list<std::tuple<const char *, int, unsigned>>{
             {"-r 44100 -c 2 -b 16", 1, 2}, {"-r 48000 -c 1 -b 24", 0xFFFE, 3}, {"-c 2 -e floating-point -b 32", 3, 4}}) {
        SCOPED_TRACE(options);
        test::run_command("sox -n "s + options + " '" + path + "' synth 1 sine 440");
        const auto sox = [&](const char *o) { return std::stoul(test::run_command("sox --i "s + o + " '" + path + "'")); };
        const unsigned long channels = sox("-c"), rate = sox("-r"), bytes = channels * width;
        ASSERT_EQ(wave_open(path.c_str(), &w), 0);
        EXPECT_EQ(std::tuple(w.format_tag, w.channels, w.sample_rate, w.block_align, w.byte_rate, w.bits_per_sample),
                  std::tuple(tag, channels, rate, bytes, rate * bytes, tag == 3 ? 0 : width * 8));
        EXPECT_EQ(std::tuple(w.audio_length, w.audio_end, std::ftell(w.fp.get())),
                  std::tuple(sox("-s") * bytes, std::filesystem::file_size(path), long{w.audio_start}));
        EXPECT_EQ(w.has_bext + w.has_cue + w.has_xtoc + w.has_axml + w.subformat, tag == 0xFFFE ? 1 : 0);
        char t[13];
        EXPECT_STREQ(wave_format_time(&w, w.audio_length, t), "00:00:01.000");
        EXPECT_EQ(wave_close(&w), 0);
        EXPECT_EQ(w.fp, nullptr);
    }
    errno = 0;
    EXPECT_EQ(wave_open(dir.file("missing.wav").c_str(), &w), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
