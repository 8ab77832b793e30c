#include "waveparser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "log.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

// ---- Builders for RIFF bytes ----

std::string u16(std::uint16_t v)
{
    std::string s;
    test::put_u16(s, v);
    return s;
}

std::string u32(std::uint32_t v)
{
    std::string s;
    test::put_u32(s, v);
    return s;
}

/// A chunk header that states `size`, whatever follows it.
std::string header(const char *id, std::uint32_t size) { return std::string(id, 4) + u32(size); }

/// A whole chunk: header, body and the pad byte after an odd body.
std::string chunk(const char *id, const std::string &body)
{
    std::string s = header(id, static_cast<std::uint32_t>(body.size())) + body;
    if (body.size() % 2 != 0)
        s += '\0';
    return s;
}

std::string riff(const char *form, const std::string &body) { return chunk("RIFF", std::string(form, 4) + body); }
std::string list(const char *type, const std::string &body) { return chunk("LIST", std::string(type, 4) + body); }

/// The 14 bytes that every fmt chunk holds.
std::string fmt_fields(std::uint16_t tag, std::uint16_t channels = 2, std::uint32_t rate = 44100,
                       std::uint16_t align = 4)
{
    return u16(tag) + u16(channels) + u32(rate) + u32(rate * align) + u16(align);
}

std::string fmt_pcm() { return chunk("fmt ", fmt_fields(WAVE_FORMAT_PCM) + u16(16)); }

/// A bext chunk body of `size` bytes (at least 412) with the given texts.
std::string bext_body(std::size_t size, const std::string &description, const std::string &originator)
{
    std::string b(size, '\0');
    b.replace(0, description.size(), description);
    b.replace(256, originator.size(), originator);
    b.replace(288, 8, "REF-0001");
    b.replace(320, 10, "2024-01-31");
    b.replace(330, 8, "12:34:56");
    b.replace(338, 4, u32(0x01020304));
    b.replace(342, 4, u32(0xFFFFFFFE));
    b.replace(346, 2, u16(1));
    for (std::size_t i = 0; i < 64; ++i)
        b[348 + i] = static_cast<char>(i);
    return b;
}

std::string cue_point(std::uint32_t id, const char *chunk_id, std::uint32_t offset)
{
    return u32(id) + u32(id * 10) + std::string(chunk_id, 4) + u32(0) + u32(0) + u32(offset);
}

/// A cue chunk body with three points on the data chunk.
std::string cue_body()
{
    return u32(3) + cue_point(1, "data", 0) + cue_point(2, "data", 44100) + cue_point(3, "data", 88200);
}

std::string diag(long offset, const std::string &message)
{
    return "Wave parser error (offset " + std::to_string(offset) + "): " + message + "\n";
}

// ---- Running the reader ----

struct Parsed {
    wave_t w;
    bool fatal = false;
    int status = 0;
    std::string out;
    std::string err;
    long pos = -1; ///< file offset after the parse
};

void run(file_ptr fp, Parsed &r)
{
    const test::Output o = test::capture([&] {
        try {
            wave_open_stream(std::move(fp), &r.w);
        } catch (const fatal_error &e) {
            r.fatal = true;
            r.status = e.status();
        }
    });
    r.out = o.out;
    r.err = o.err;
    if (r.w.fp)
        r.pos = std::ftell(r.w.fp.get());
}

/// Walks `bytes` as a file on disk.
std::unique_ptr<Parsed> parse(const std::string &bytes)
{
    auto r = std::make_unique<Parsed>();
    test::TempDir dir;
    test::write_file(dir.file("in.wav"), bytes);
    run(tolk_fopen(dir.file("in.wav").c_str(), "rb"), *r);
    return r;
}

void expect_fatal(const Parsed &r, const std::string &err)
{
    EXPECT_TRUE(r.fatal);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
}

void expect_ok(const Parsed &r)
{
    EXPECT_FALSE(r.fatal) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, ""); // the walk itself never writes to standard output
    EXPECT_EQ(r.pos, static_cast<long>(r.w.audio_start));
}

/// A walk that turns back goes round for ever; the alarm ends the test binary instead.
class Deadline {
public:
    explicit Deadline(unsigned seconds) { alarm(seconds); }
    ~Deadline() { alarm(0); }
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;
};

/// A file of `size` bytes, zero but for the pieces written into it: sparse on disk,
/// so that files around 4 GiB cost nothing.
std::string sparse_file(const test::TempDir &dir, std::uint64_t size, const std::map<long, std::string> &pieces)
{
    const std::string path = dir.file("sparse.wav");
    file_ptr fp = tolk_fopen(path.c_str(), "wb");
    bool ok = fp != nullptr;
    for (const auto &[at, bytes] : pieces)
        ok = ok && std::fseek(fp.get(), at, SEEK_SET) == 0 &&
             std::fwrite(bytes.data(), 1, bytes.size(), fp.get()) == bytes.size();
    if (!close_checked(fp) || !ok)
        throw std::runtime_error("cannot write " + path);
    std::filesystem::resize_file(path, size);
    return path;
}

// ---- Format and data ----

TEST(WaveOpen, CanonicalHeaderGivesFormatAndLeavesFileAtFirstAudioByte)
{
    test::TempDir dir;
    const std::string audio = "\x01\x02\x03\x04\x05\x06\x07\x08";
    test::write_file(dir.file("a.wav"), test::make_wave(audio));
    wave_t w;
    ASSERT_EQ(wave_open(dir.file("a.wav").c_str(), &w), 0);
    EXPECT_EQ(w.is_wave, 1);
    EXPECT_EQ(w.format_tag, 1);
    EXPECT_EQ(w.channels, 2);
    EXPECT_EQ(w.sample_rate, 44100u);
    EXPECT_EQ(w.byte_rate, 176400u);
    EXPECT_EQ(w.block_align, 4);
    EXPECT_EQ(w.bits_per_sample, 16);
    EXPECT_EQ(w.audio_start, 44u);
    EXPECT_EQ(w.audio_length, 8u);
    EXPECT_EQ(w.audio_end, 52u);
    EXPECT_EQ(w.has_bext + w.has_cue + w.has_xtoc + w.has_axml, 0);
    ASSERT_EQ(std::ftell(w.fp.get()), 44);
    char got[8];
    ASSERT_EQ(std::fread(got, 1, 8, w.fp.get()), 8u);
    EXPECT_EQ(std::string(got, 8), audio);
    EXPECT_EQ(wave_close(&w), 0);
    EXPECT_EQ(w.fp, nullptr);

    errno = 0;
    EXPECT_EQ(wave_open(dir.file("missing.wav").c_str(), &w), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(WaveFmt, ExtensionIsSkippedAndShortChunksServeFloatOnly)
{
    // 18 bytes: PCM fields plus an extension size of 0.
    auto r = parse(riff("WAVE", chunk("fmt ", fmt_fields(1) + u16(16) + u16(0)) + chunk("data", "abcd")));
    expect_ok(*r);
    EXPECT_EQ(r->w.bits_per_sample, 16);
    EXPECT_EQ(r->w.audio_start, 12u + 26 + 8);

    r = parse(riff("WAVE", chunk("fmt ", fmt_fields(3, 2, 44100, 8)) + chunk("data", "abcdefgh")));
    expect_ok(*r);
    EXPECT_EQ(r->w.format_tag, 3);
    EXPECT_EQ(r->w.block_align, 8);
    EXPECT_EQ(r->w.bits_per_sample, 0);

    expect_fatal(*parse(riff("WAVE", chunk("fmt ", fmt_fields(1)) + chunk("data", "abcd"))),
                 diag(12 + 8 + 14, "Format chunk too short, 16 bytes expected."));
    expect_fatal(*parse(riff("WAVE", chunk("fmt ", fmt_fields(3).substr(0, 13)) + chunk("data", "abcd"))),
                 diag(20, "Format chunk too short!"));
}

TEST(WaveFmt, FormatCodeZeroIsNoFormatChunkButASecondRealOneIsRefused)
{
    const std::string zero = chunk("fmt ", fmt_fields(0) + u16(16));
    auto r = parse(riff("WAVE", zero + fmt_pcm() + chunk("data", "abcd")));
    expect_ok(*r);
    EXPECT_EQ(r->w.format_tag, 1);

    const std::string only_zero = riff("WAVE", zero + chunk("data", "abcd"));
    expect_fatal(*parse(only_zero), diag(static_cast<long>(only_zero.size()), "format chunk not found.\n"));

    expect_fatal(*parse(riff("WAVE", fmt_pcm() + fmt_pcm() + chunk("data", "abcd"))),
                 diag(12 + 24 + 8, "Only one format chunk allowed within wave file."));
}

TEST(WaveData, MissingOrSecondDataChunkIsRefused)
{
    const std::string no_data = riff("WAVE", fmt_pcm());
    expect_fatal(*parse(no_data), diag(static_cast<long>(no_data.size()), "data chunk not found.\n"));

    // The offset is the second chunk's contents: 12 + 24 + (8 + 4) + 8.
    expect_fatal(*parse(riff("WAVE", fmt_pcm() + chunk("data", "abcd") + chunk("data", "efgh"))),
                 diag(56, "This parser supports only one data chunk within wave file."));
}

// ---- The chunk walk ----

TEST(WaveWalk, OddChunksArePaddedToEvenOffsets)
{
    // junk of 3 bytes + pad, fmt, data of 5 bytes + pad, then a cue chunk that is only
    // found at the padded offset.
    auto r = parse(riff("WAVE", chunk("junk", "xyz") + fmt_pcm() + chunk("data", "12345") + chunk("cue ", cue_body())));
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 12u + 12 + 24 + 8);
    EXPECT_EQ(r->w.audio_length, 5u);
    EXPECT_EQ(r->w.audio_end, r->w.audio_start + 5);
    EXPECT_EQ(r->w.has_cue, 1);
    EXPECT_EQ(r->w.cue_points.size(), 3u);
}

TEST(WaveWalk, ListsAreWalkedAndChunksInsideThemFound)
{
    const std::string info = list("INFO", chunk("INAM", "Song") + chunk("IART", "Band\0"s));
    const std::string body = fmt_pcm() + info + list("adtl", chunk("data", "abcdefgh"));
    auto r = parse(riff("WAVE", body));
    expect_ok(*r);
    // RIFF 12, fmt 24, INFO list 12 + 12 + 14, adtl list 12, data header 8.
    EXPECT_EQ(r->w.audio_start, 12u + 24 + 38 + 12 + 8);
    EXPECT_EQ(r->w.audio_length, 8u);

    // A RIFF of another form is walked as well, but is no WAVE file.
    const std::string avi = riff("AVI ", fmt_pcm() + chunk("data", "abcd"));
    r = parse(avi);
    expect_fatal(*r, diag(static_cast<long>(avi.size()), "not a Microsoft WAVE file.\n"));
    EXPECT_EQ(r->w.format_tag, 1);
    EXPECT_EQ(r->w.audio_start, 44u);
}

TEST(WaveWalk, BytesAfterTheRiffChunkAreFurtherTopLevelChunks)
{
    const std::string wave = test::make_wave("abcd");
    for (std::size_t n = 1; n <= 3; ++n)
        expect_ok(*parse(wave + std::string(n, 'x')));
    for (std::size_t n = 4; n <= 7; ++n)
        expect_fatal(*parse(wave + std::string(n, 'x')),
                     diag(static_cast<long>(wave.size() + n), "Unexpected end of file while reading chunk size."));
    expect_ok(*parse(wave + header("junk", 0)));
    auto r = parse(wave + chunk("cue ", cue_body()));
    expect_ok(*r);
    EXPECT_EQ(r->w.cue_points.size(), 3u);
}

TEST(WaveWalk, AChildThatOverrunsItsContainerIsWalkedOnceOnly)
{
    // The RIFF size covers the headers only, and the data chunk runs on past it. Audio
    // that happens to look like a chunk header must stay audio: walking on from the
    // RIFF's end would meet it as a second data chunk.
    const std::string audio = chunk("data", "abcd") + std::string(20, 'x');
    const std::string head = header("RIFF", 4 + 24 + 8) + "WAVE" + fmt_pcm();
    auto r = parse(head + header("data", static_cast<std::uint32_t>(audio.size())) + audio);
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 44u);
    EXPECT_EQ(r->w.audio_length, audio.size());

    // A cue chunk that runs past its list is read once: walking its points again as
    // chunks would find the cue chunk hidden in them a second time.
    // The first point's id and position, read as a chunk header, skip to the hidden chunk.
    const std::string inner = chunk("cue ", u32(1) + cue_point(7, "data", 0));
    const std::string first_point = u32(1) + u32(16) + "data" + u32(0) + u32(0) + u32(0);
    const std::string outer = u32(2) + first_point + inner;
    const std::string lst = header("LIST", 4 + 8 + 4) + "adtl" + header("cue ", static_cast<std::uint32_t>(outer.size()));
    r = parse(riff("WAVE", fmt_pcm() + lst + outer + chunk("data", "abcd")));
    expect_ok(*r);
    ASSERT_EQ(r->w.cue_points.size(), 2u);
    EXPECT_EQ(r->w.cue_points[0].id, 1u);
    EXPECT_EQ(r->w.cue_points[1].id, 0x20657563u); // the bytes "cue " read as the second point's id
}

TEST(WaveWalk, ContainerTooSmallForItsTypeIsEmpty)
{
    // A RIFF of size 2 must not take the "WAVE" after it as its form type.
    const std::string tiny = header("RIFF", 2) + "WAVE" + fmt_pcm() + chunk("data", "abcd");
    expect_fatal(*parse(tiny), diag(0x00102074 + 18, "not a Microsoft WAVE file.\n"));

    // An empty LIST at the very end: no type is read from beyond the file.
    auto r = parse(riff("WAVE", fmt_pcm() + chunk("data", "abcd") + header("LIST", 0)));
    expect_ok(*r);
    r = parse(riff("WAVE", fmt_pcm() + chunk("LIST", "ab") + chunk("data", "abcd")));
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 12u + 24 + 10 + 8);

    // Thousands of empty lists: every one moves the walk on.
    std::string lists;
    for (int i = 0; i < 5000; ++i)
        lists += list("INFO", "") + header("LIST", 0) + chunk("LIST", "ab");
    r = parse(riff("WAVE", lists + fmt_pcm() + chunk("data", "abcd")));
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 12u + 5000 * 30 + 24 + 8);
}

TEST(WaveWalk, NestingIsBoundedAtSixteenContainers)
{
    // RIFF plus 15 lists is 16 levels: accepted.
    std::string body = fmt_pcm() + chunk("data", "abcd");
    for (int i = 0; i < 15; ++i)
        body = list("TEST", body);
    auto r = parse(riff("WAVE", body));
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 12u * 16 + 24 + 8);

    // One more level is refused right after the 17th container's type.
    expect_fatal(*parse(riff("WAVE", list("TEST", body))),
                 diag(12 * 17, "Container chunks nested deeper than 16 levels."));
    // So is a file nested far deeper than the stack would bear.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += header("LIST", 0xFFFFFF00) + "DEEP";
    expect_fatal(*parse(riff("WAVE", deep)), diag(12 * 17, "Container chunks nested deeper than 16 levels."));
}

// ---- Metadata chunks ----

TEST(WaveBext, FieldsAreReadAndShortChunksRefused)
{
    const std::string originator(32, 'O'); // unterminated: all 32 characters count
    auto r = parse(riff("WAVE", fmt_pcm() + chunk("bext", bext_body(602, "Session take 3", originator)) +
                                    chunk("data", "abcd")));
    expect_ok(*r);
    const wave_t &w = r->w;
    EXPECT_EQ(w.has_bext, 1);
    EXPECT_STREQ(w.description, "Session take 3");
    EXPECT_EQ(std::string(w.originator), originator);
    EXPECT_STREQ(w.originator_reference, "REF-0001");
    EXPECT_STREQ(w.origination_date, "2024-01-31");
    EXPECT_STREQ(w.origination_time, "12:34:56");
    EXPECT_EQ(w.time_reference_low, 0x01020304);
    EXPECT_EQ(w.time_reference_high, -2);
    EXPECT_EQ(w.bext_version, 1);
    EXPECT_EQ(w.umid[0], 0);
    EXPECT_EQ(w.umid[63], 63);

    expect_ok(*parse(riff("WAVE", fmt_pcm() + chunk("bext", bext_body(600, "", "")) + chunk("data", "abcd"))));
    expect_fatal(*parse(riff("WAVE", fmt_pcm() + chunk("bext", bext_body(599, "", "")) + chunk("data", "abcd"))),
                 diag(12 + 24 + 8, "bext chunk too short!"));
}

TEST(WaveCue, PointsAreKeptInFileOrderAndShortChunksRefused)
{
    const std::string body = cue_body();
    ASSERT_EQ(body.size(), 76u);
    auto r = parse(riff("WAVE", fmt_pcm() + chunk("cue ", body) + chunk("data", "abcd")));
    expect_ok(*r);
    const wave_t &w = r->w;
    EXPECT_EQ(w.num_cue_points, 3u);
    ASSERT_EQ(w.cue_points.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(w.cue_points[i].id, i + 1);
        EXPECT_EQ(w.cue_points[i].position, (i + 1) * 10);
        EXPECT_EQ(std::string(w.cue_points[i].chunk_id, 4), "data");
        EXPECT_EQ(w.cue_points[i].sample_offset, i * 44100);
    }

    expect_fatal(*parse(riff("WAVE", fmt_pcm() + chunk("cue ", body.substr(0, 75)) + chunk("data", "abcd"))),
                 diag(12 + 24 + 8 + 4, "cue chunk too short!"));
    expect_fatal(*parse(riff("WAVE", fmt_pcm() + chunk("cue ", "abc") + chunk("data", "abcd"))),
                 diag(12 + 24 + 8, "cue chunk too short!"));

    // No points: nothing to show.
    r = parse(riff("WAVE", fmt_pcm() + chunk("cue ", u32(0)) + chunk("data", "abcd")));
    expect_ok(*r);
    EXPECT_EQ(r->w.has_cue, 0);
}

TEST(WaveXtocAxml, ContentsAreHeldWhole)
{
    auto r = parse(riff("WAVE", fmt_pcm() + chunk("XTOC", "T\0O\0C\0"s) + chunk("axml", "<a/>") +
                                    chunk("data", "abcd")));
    expect_ok(*r);
    const wave_t &w = r->w;
    EXPECT_EQ(w.has_xtoc, 1);
    EXPECT_EQ(w.xtoc_size, 6u);
    EXPECT_EQ(std::string(w.xtoc.begin(), w.xtoc.end()), "T\0O\0C\0"s);
    EXPECT_EQ(w.has_axml, 1);
    EXPECT_EQ(w.axml_size, 4u);
    EXPECT_EQ(std::string(w.axml.data()), "<a/>");
    EXPECT_EQ(w.axml.size(), 5u);

    Parsed copy;
    copy.w.cue_points.resize(2);
    copy.w.xtoc = w.xtoc;
    copy.w.has_xtoc = copy.w.has_cue = 1;
    copy.w.fp = tolk_fopen("/dev/null", "rb");
    wave_delete(&copy.w);
    EXPECT_TRUE(copy.w.cue_points.empty());
    EXPECT_TRUE(copy.w.xtoc.empty());
    EXPECT_EQ(copy.w.has_xtoc + copy.w.has_cue, 0);
    EXPECT_NE(copy.w.fp, nullptr); // the file stays open
    EXPECT_EQ(wave_close(&copy.w), 0);
}

// ---- Broken and hostile files ----

TEST(WaveTruncated, EveryCutEndsInOneOutcome)
{
    const std::string body = fmt_pcm() + list("INFO", chunk("INAM", "Song")) +
                             chunk("bext", bext_body(602, "d", "o")) + chunk("cue ", cue_body()) +
                             chunk("XTOC", "T\0O\0C\0"s) + chunk("axml", "<a/>") + chunk("data", "0123456789abcdef");
    const std::string file = riff("WAVE", body);
    const std::size_t audio_start = file.size() - 16;
    for (std::size_t cut = 0; cut < file.size(); ++cut) {
        SCOPED_TRACE(cut);
        const auto r = parse(file.substr(0, cut));
        if (cut >= audio_start) {
            // The audio is never read: only the copy of it meets the missing end.
            expect_ok(*r);
            EXPECT_EQ(r->w.audio_length, 16u);
            continue;
        }
        ASSERT_TRUE(r->fatal);
        // One fatal diagnostic, last; before it at most the note of a metadata
        // chunk that the cut went through.
        const std::size_t first = r->err.find("Wave parser error");
        ASSERT_NE(first, std::string::npos);
        EXPECT_EQ(r->err.find("Wave parser error", first + 1), std::string::npos);
        const std::string before = r->err.substr(0, first);
        EXPECT_TRUE(before.empty() || before == "failed to read XTOC chunk: Unexpected end of file\n" ||
                    before == "failed to read axml chunk: Unexpected end of file\n")
            << before;
    }
    // Cuts inside headers name their cause at the cut.
    expect_fatal(*parse(file.substr(0, 6)), diag(6, "Unexpected end of file while reading chunk size."));
    expect_fatal(*parse(file.substr(0, 10)), diag(10, "Unexpected end of file while reading container chunk type."));
    expect_fatal(*parse(file.substr(0, 40)), diag(40, "Unexpected end of file while reading chunk size."));
    expect_fatal(*parse(file.substr(0, 46)), diag(46, "Unexpected end of file while reading container chunk type."));
    expect_fatal(*parse(file.substr(0, 30)), diag(30, "Format chunk too short!"));
    expect_fatal(*parse(file.substr(0, 70)), diag(70, "bext chunk too short!"));
}

TEST(WaveHostile, SizesThatWrapPastFourGigabytesNeverTurnTheWalkBack)
{
    const Deadline deadline(60);
    // 52 + 8 + 0xFFFFFFF8 wraps to 52, this chunk's own header: the walk would read it for ever.
    const std::string wave = test::make_wave("abcdefgh");
    auto r = parse(wave + header("junk", 0xFFFFFFF8) + "xxxx");
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_length, 8u);

    // Inside the RIFF the wrapped list reaches beyond the file: its walk meets the end.
    const std::string bad_list = riff("WAVE", fmt_pcm() + header("LIST", 0xFFFFFFF8) + "INFO" + chunk("data", "abcd"));
    expect_fatal(*parse(bad_list),
                 diag(static_cast<long>(bad_list.size()), "Unexpected end of file while reading chunk size."));

    // Streaming writers leave 0xFFFFFFFF in both sizes: the end is held at the last offset.
    r = parse(header("RIFF", 0xFFFFFFFF) + "WAVE" + fmt_pcm() + header("data", 0xFFFFFFFF) + "abcd");
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 44u);
    EXPECT_EQ(r->w.audio_length, 0xFFFFFFFFu);
    EXPECT_EQ(r->w.audio_end, 0xFFFFFFFFu);
}

TEST(WaveHostile, NothingPastTheFourGigabyteOffsetIsTakenForAChunk)
{
    const Deadline deadline(60);
    // The data chunk ends at 0xFFFFFFF0; the chunk after it starts its contents at
    // 0xFFFFFFF8 and would wrap to 0xF8. A header at 4 GiB cannot be addressed at all.
    test::TempDir dir;
    const std::string path =
        sparse_file(dir, 0x100000000 + 64,
                    {{0, header("RIFF", 0xFFFFFFE8) + "WAVE" + fmt_pcm() + header("data", 0xFFFFFFF0 - 44)},
                     {0xFFFFFFF0, header("LIST", 0x100) + "WAVE"},
                     {0x100000000, riff("WAVE", chunk("data", "abcd"))}});
    auto r = std::make_unique<Parsed>();
    run(tolk_fopen(path.c_str(), "rb"), *r);
    expect_ok(*r);
    EXPECT_EQ(r->w.audio_start, 44u);
    EXPECT_EQ(r->w.audio_end, 0xFFFFFFF0u);
}

TEST(WaveHostile, CueCountsBeyondTheFileAreRefusedWithoutAllocating)
{
    const std::string start = fmt_pcm() + chunk("data", "abcd");
    // Ten million points, as the chunk size agrees, in a file of a few bytes.
    const std::uint32_t millions = 10'000'000;
    const std::string cue = header("cue ", 4 + 24 * millions) + u32(millions) + cue_point(1, "data", 0);
    expect_fatal(*parse(riff("WAVE", start + cue)),
                 diag(12 + 36 + 8 + 4, "cue chunk too short!"));
    // 24 times this count wraps 32 bits to 8: the chunk must not pass for long enough.
    expect_fatal(*parse(riff("WAVE", start + chunk("cue ", u32(0x0AAAAAAB) + std::string(12, 'x')))),
                 diag(12 + 36 + 8 + 4, "cue chunk too short!"));
    expect_fatal(*parse(riff("WAVE", start + header("cue ", 0xFFFFFFFF) + u32(0xFFFFFFFF))),
                 diag(12 + 36 + 8 + 4, "cue chunk too short!"));
}

TEST(WaveHostile, OversizedXtocAndAxmlAreShortReads)
{
    const std::string start = fmt_pcm() + chunk("data", "abcd");
    auto r = parse(riff("WAVE", start) + header("XTOC", 0xFFFFFF00) + "T\0O\0"s);
    EXPECT_FALSE(r->fatal);
    EXPECT_EQ(r->err, "failed to read XTOC chunk: Unexpected end of file\n");
    EXPECT_EQ(r->w.has_xtoc, 0);
    EXPECT_EQ(r->w.xtoc.capacity(), 0u);

    r = parse(riff("WAVE", start + header("axml", 0x7FFFFFFF) + "<a/>"));
    EXPECT_FALSE(r->fatal);
    EXPECT_EQ(r->err, "failed to read axml chunk: Unexpected end of file\n");
    EXPECT_EQ(r->w.has_axml, 0);

    // An XTOC that swallows the data chunk: the note explains the fatal diagnostic after it,
    // whose offset is the XTOC's claimed end, where the walk stands.
    const std::string swallowed = riff("WAVE", fmt_pcm() + header("XTOC", 0xFFFFFF00) + chunk("data", "abcd"));
    expect_fatal(*parse(swallowed), "failed to read XTOC chunk: Unexpected end of file\n" +
                                        diag(12 + 24 + 8 + 0xFFFFFF00L, "data chunk not found.\n"));
}

TEST(WaveHostile, StreamsWithoutPositionsAreRefused)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string wave = test::make_wave("abcd");
    ASSERT_EQ(write(fds[1], wave.data(), wave.size()), static_cast<ssize_t>(wave.size()));
    close(fds[1]);
    file_ptr fp(fdopen(fds[0], "rb"));
    ASSERT_NE(fp, nullptr);
    Parsed r;
    run(std::move(fp), r);
    expect_fatal(r, "Wave parser error (offset -1): Cannot seek in wave file: Illegal seek\n");
}

TEST(WaveLittleEndian, ValuesComposeByteByByteAndShortReadsChangeNothing)
{
    test::TempDir dir;
    test::write_file(dir.file("n"), "\xFE\xFF\xFF\xFF\x01\x02\x03");
    file_ptr fp = tolk_fopen(dir.file("n").c_str(), "rb");
    std::int32_t i32 = 0;
    EXPECT_EQ(fread_int32_le(&i32, fp.get()), 1u);
    EXPECT_EQ(i32, -2);
    std::rewind(fp.get());
    std::uint32_t u32v = 0;
    EXPECT_EQ(fread_uint32_le(&u32v, fp.get()), 1u);
    EXPECT_EQ(u32v, 0xFFFFFFFEu);
    std::rewind(fp.get());
    std::int16_t i16 = 0;
    EXPECT_EQ(fread_int16_le(&i16, fp.get()), 1u);
    EXPECT_EQ(i16, -2);
    std::uint16_t u16v = 0;
    std::fseek(fp.get(), 4, SEEK_SET);
    EXPECT_EQ(fread_uint16_le(&u16v, fp.get()), 1u);
    EXPECT_EQ(u16v, 0x0201);
    EXPECT_EQ(fread_uint32_le(&u32v, fp.get()), 0u);
    EXPECT_EQ(u32v, 0xFFFFFFFEu);
}

// ---- Summary ----

std::string summary(const wave_t &w) { return test::capture([&] { wave_summary(&w); }).out; }

TEST(WaveSummary, OneSecondOfCdAudio)
{
    const auto r = parse(test::make_wave(std::string(176400, '\0')));
    expect_ok(*r);
    EXPECT_EQ(summary(r->w), "Format              : Linear PCM, fixed point (01h)\n"
                             "Channels            : 2\n"
                             "Samples per sec     : 44100\n"
                             "Bits per sample     : 16\n"
                             "Audio length        : 176400 (00:00:01.000)\n"
                             "Audio start (offset): 44\n"
                             "Audio end (offset)  : 176444\n");
}

TEST(WaveSummary, PlayTimeFollowsWhatTheFileStates)
{
    char t[13];
    wave_t w;
    w.sample_rate = 44100;
    w.channels = 2;

    w.format_tag = WAVE_FORMAT_IEEE_FLOAT; // 4 bytes whatever the width says
    w.bits_per_sample = 64;
    EXPECT_STREQ(wave_format_time(&w, 352800 + 3528, t), "00:00:01.010");
    w.bits_per_sample = 0;

    w.format_tag = WAVE_FORMAT_PCM; // 20-bit samples occupy 3 bytes each
    w.bits_per_sample = 20;
    w.block_align = 6;
    EXPECT_STREQ(wave_format_time(&w, 264600, t), "00:00:01.000");

    w.format_tag = WAVE_FORMAT_EXTENSIBLE; // no width read: the block alignment tells
    w.bits_per_sample = 0;
    EXPECT_STREQ(wave_format_time(&w, 264600 * 3723 + 132300, t), "01:02:03.500");

    w.block_align = 1; // less than a byte per channel
    EXPECT_STREQ(wave_format_time(&w, 1000, t), "");
    w.block_align = 6;
    w.channels = 0;
    EXPECT_STREQ(wave_format_time(&w, 1000, t), "");
    w.channels = 2;
    w.sample_rate = 0;
    EXPECT_STREQ(wave_format_time(&w, 1000, t), "");
}

TEST(WaveSummary, FormatNamesAndSections)
{
    wave_t w;
    w.format_tag = 0x0055;
    w.channels = 1;
    w.sample_rate = 22050;
    w.audio_length = 7;
    EXPECT_EQ(summary(w), "Format              :  (55h)\n"
                          "Channels            : 1\n"
                          "Samples per sec     : 22050\n"
                          "Bits per sample     : 0\n"
                          "Audio length        : 7 ()\n"
                          "Audio start (offset): 0\n"
                          "Audio end (offset)  : 0\n");
    w.format_tag = WAVE_FORMAT_EXTENSIBLE;
    const std::string text = summary(w);
    EXPECT_EQ(text.substr(0, text.find('\n')), "Format              : Wave Format Extensible (FFFEh)");

    const std::string body = fmt_pcm() + chunk("bext", bext_body(602, "Session take 3", "korvel")) +
                             chunk("cue ", u32(2) + cue_point(1, "data", 0) + cue_point(7, "ab\0\0", 0xFFFFFFFF)) +
                             chunk("XTOC", "S\0i\0d\0e\0 \0A\0Z"s) + chunk("data", std::string(4, '\0'));
    const auto r = parse(riff("WAVE", body));
    expect_ok(*r);
    const std::string end = std::to_string(r->w.audio_end);
    EXPECT_EQ(summary(r->w), "Format              : Linear PCM, fixed point (01h)\n"
                             "Channels            : 2\n"
                             "Samples per sec     : 44100\n"
                             "Bits per sample     : 16\n"
                             "Audio length        : 4 (00:00:00.000)\n"
                             "Audio start (offset): " + std::to_string(r->w.audio_start) + "\n"
                             "Audio end (offset)  : " + end + "\n"
                             "\nBroadcast Wave Extension (version 1)\n"
                             "------------------------------------\n"
                             "Description         : Session take 3\n"
                             "Originator          : korvel\n"
                             "Originator reference: REF-0001\n"
                             "Origination date    : 2024-01-31\n"
                             "Origination time    : 12:34:56\n"
                             "\nCue Points (2)\n"
                             "------------------------------------\n"
                             "1 Chunk: data  Offset: 0\n"
                             "7 Chunk: ab    Offset: -1\n"
                             "\nPyaramix Table of Contents (XTOC):\n"
                             "Side A\n");
}

// ---- Files written by sox ----

std::string command_output(const std::string &cmd)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), pclose);
    if (!p)
        return out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p.get()) != nullptr)
        out += buf;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TEST(WaveSox, FieldsAgreeWithWhatSoxWrote)
{
    test::TempDir dir;
    struct Case {
        const char *name;
        const char *options;
        std::uint16_t tag;
        unsigned bytes;
        const char *time;
    };
    // CD audio is plain PCM; sox writes 24 bits as Wave Format Extensible and float
    // with an extended fmt and a fact chunk.
    const Case cases[] = {{"cd.wav", "-r 44100 -c 2 -b 16", 1, 2, "00:00:01.000"},
                          {"hd.wav", "-r 48000 -c 1 -b 24", 0xFFFE, 3, "00:00:01.000"},
                          {"fl.wav", "-r 44100 -c 2 -e floating-point -b 32", 3, 4, "00:00:01.000"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        ASSERT_EQ(std::system(("sox -n " + std::string(c.options) + " '" + path + "' synth 1 sine 440").c_str()), 0);
        wave_t w;
        ASSERT_EQ(wave_open(path.c_str(), &w), 0);
        const unsigned long channels = std::stoul(command_output("sox --i -c '" + path + "'"));
        const unsigned long rate = std::stoul(command_output("sox --i -r '" + path + "'"));
        const unsigned long samples = std::stoul(command_output("sox --i -s '" + path + "'"));
        EXPECT_EQ(w.format_tag, c.tag);
        EXPECT_EQ(w.channels, channels);
        EXPECT_EQ(w.sample_rate, rate);
        EXPECT_EQ(w.block_align, channels * c.bytes);
        EXPECT_EQ(w.byte_rate, rate * channels * c.bytes);
        EXPECT_EQ(w.bits_per_sample, c.tag == 1 ? 16 : 0);
        EXPECT_EQ(w.audio_length, samples * channels * c.bytes);
        // sox writes the data chunk last.
        EXPECT_EQ(w.audio_end, static_cast<std::uint32_t>(std::filesystem::file_size(path)));
        EXPECT_EQ(std::ftell(w.fp.get()), static_cast<long>(w.audio_start));
        char t[13];
        EXPECT_STREQ(wave_format_time(&w, w.audio_length, t), c.time);
    }
}

} // namespace
