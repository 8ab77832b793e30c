#include "fileset_extract.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "log.h"
#include "pq_sheet.h"
#include "pqlist.h"
#include "safe_output.h"
#include "text_encoding.h"

namespace {

// Audio goes through in blocks of 111 sectors (about 255 KiB): few system calls, and the
// same small amount of memory for a disc of any length.
constexpr long block_sectors = 111;
/// A RIFF/WAVE header of PCM audio: RIFF, WAVE, a 16-byte fmt chunk, the data chunk's header.
constexpr std::size_t wave_header_size = 44;

std::string path_in(const char *dir, const std::string &name)
{
    return tolk_path_join(dir, name.c_str()).value_or(name);
}

/// The header of a WAVE file of 16-bit stereo PCM at 44,100 Hz holding `bytes` of audio.
std::array<unsigned char, wave_header_size> wave_header(std::uint32_t bytes)
{
    std::array<unsigned char, wave_header_size> h{};
    std::size_t at = 0;
    const auto put = [&](std::string_view tag) {
        std::memcpy(h.data() + at, tag.data(), tag.size());
        at += tag.size();
    };
    const auto le = [&](std::uint32_t v, int width) {
        for (int i = 0; i < width; ++i)
            h[at++] = static_cast<unsigned char>(v >> (8 * i));
    };
    put("RIFF");
    le(static_cast<std::uint32_t>(wave_header_size - 8) + bytes, 4);
    put("WAVE");
    put("fmt ");
    le(16, 4);
    le(1, 2);          // PCM
    le(2, 2);          // channels
    le(44100, 4);      // samples per second
    le(44100 * 4, 4);  // bytes per second
    le(4, 2);          // bytes per sample frame
    le(16, 2);         // bits per sample
    put("data");
    le(bytes, 4);
    return h;
}

/// One output WAVE file: a range of disc sectors.
struct wave_part {
    std::string name;
    long start;
    long end;
};

/// The track files: each track from its index 01 to the next one's (the last to the lead-out),
/// and 00.wav for audio in track 1's pregap beyond its two seconds.
std::vector<wave_part> track_parts(const PQlist &pq)
{
    std::vector<wave_part> parts;
    const long first = pq_track_start(pq, 1);
    if (first > CD_FIRST_PREGAP_FRAMES)
        parts.push_back({"00.wav", CD_FIRST_PREGAP_FRAMES, first});
    const int tracks = pq_num_tracks(pq);
    for (int n = 1; n <= tracks; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "%02d.wav", n);
        parts.push_back({name, pq_track_start(pq, n), n < tracks ? pq_track_start(pq, n + 1) : pq.lead_out});
    }
    return parts;
}

/// A WAVE file being written: its header first, then the audio as it comes.
class wave_output {
public:
    wave_output(const std::string &path, long sectors) : file_(path)
    {
        if (!file_)
            return;
        // Every write is a block of audio: a stream buffer would only add a copy.
        std::setvbuf(file_.get(), nullptr, _IONBF, 0);
        const auto header = wave_header(static_cast<std::uint32_t>(sectors * CD_FRAME_BYTES));
        ok_ = std::fwrite(header.data(), 1, header.size(), file_.get()) == header.size();
    }
    bool opened() const { return static_cast<bool>(file_); }
    bool write(const unsigned char *data, std::size_t n)
    {
        ok_ = ok_ && std::fwrite(data, 1, n, file_.get()) == n;
        return ok_;
    }
    /// Puts the file in place; false (errno set) when any write or the commit failed.
    bool commit()
    {
        if (!ok_) {
            const int err = errno != 0 ? errno : EIO;
            file_.discard();
            errno = err;
            return false;
        }
        return file_.commit();
    }
    const std::string &path() const { return file_.path(); }

private:
    staged_file file_;
    bool ok_ = false;
};

/// Reads the disc's sectors in order from the audio streams' files.
class disc_audio {
public:
    explicit disc_audio(const checked_fileset &c) : c_(c) {}

    /// Reads `sectors` sectors from the current position into `buf`; false after reporting an error.
    bool read(unsigned char *buf, long sectors)
    {
        while (sectors > 0) {
            if (!segment_open() && !open_next())
                return false;
            const audio_segment &s = c_.fileset.audio[segment_];
            const long n = std::min(sectors, s.start + s.sectors - position_);
            const std::size_t bytes = static_cast<std::size_t>(n * CD_FRAME_BYTES);
            if (std::fread(buf, 1, bytes, in_.get()) != bytes) {
                log_err("%s: %s\n", s.file.c_str(),
                        std::ferror(in_.get()) ? std::strerror(errno != 0 ? errno : EIO)
                                               : "the file became shorter while its audio was read");
                return false;
            }
            buf += bytes;
            sectors -= n;
            position_ += n;
            if (position_ == s.start + s.sectors) {
                in_.reset();
                ++segment_;
            }
        }
        return true;
    }

private:
    bool segment_open() const { return static_cast<bool>(in_); }

    bool open_next()
    {
        if (segment_ >= c_.fileset.audio.size()) {
            log_err("the audio streams end at sector %ld, before the lead-out\n", position_);
            return false;
        }
        const audio_segment &s = c_.fileset.audio[segment_];
        const fileset_entry *e = fileset_find(c_.source, s.file);
        std::string why = "it is gone";
        if (e != nullptr)
            in_ = fileset_open(c_.source, *e, why);
        if (!in_ || std::fseek(in_.get(), static_cast<long>(s.offset), SEEK_SET) != 0) {
            log_err("%s: %s\n", s.file.c_str(), in_ ? std::strerror(errno) : why.c_str());
            in_.reset();
            return false;
        }
        std::setvbuf(in_.get(), nullptr, _IONBF, 0);
        return true;
    }

    const checked_fileset &c_;
    std::size_t segment_ = 0;
    long position_ = 0;
    file_ptr in_;
};

/// Writes image.wav and the track files in one pass over the audio.
bool write_audio(const checked_fileset &c, const char *outdir, const std::vector<wave_part> &parts)
{
    const PQlist &pq = *c.fileset.pq;
    const auto failed = [](const std::string &path) {
        log_err("%s: %s\n", path.c_str(), std::strerror(errno != 0 ? errno : EIO));
        return false;
    };
    log_msg(1, "Writing %s and %zu track files... ", "image.wav", parts.size());
    log_flush(1);
    wave_output image(path_in(outdir, "image.wav"), pq.lead_out);
    if (!image.opened())
        return failed(image.path());
    std::unique_ptr<wave_output> part;
    std::size_t next = 0;
    disc_audio audio(c);
    const auto block = std::make_unique_for_overwrite<unsigned char[]>(block_sectors * CD_FRAME_BYTES);
    for (long at = 0; at < pq.lead_out;) {
        const long n = std::min(block_sectors, pq.lead_out - at);
        if (!audio.read(block.get(), n))
            return false;
        if (!image.write(block.get(), static_cast<std::size_t>(n * CD_FRAME_BYTES)))
            return failed(image.path());
        // The block's sectors go to the track files whose ranges they fall in, in order.
        for (long from = at; from < at + n;) {
            if (!part) {
                if (next == parts.size() || parts[next].start >= at + n)
                    break;
                from = std::max(from, parts[next].start);
                part = std::make_unique<wave_output>(path_in(outdir, parts[next].name),
                                                     parts[next].end - parts[next].start);
                if (!part->opened())
                    return failed(part->path());
            }
            const long to = std::min(at + n, parts[next].end);
            if (!part->write(block.get() + (from - at) * CD_FRAME_BYTES,
                             static_cast<std::size_t>((to - from) * CD_FRAME_BYTES)))
                return failed(part->path());
            from = to;
            if (to == parts[next].end) {
                if (!part->commit())
                    return failed(part->path());
                part.reset();
                ++next;
            }
        }
        at += n;
    }
    if (!image.commit())
        return failed(image.path());
    log_msg(1, "done.\n");
    return true;
}

/// Writes image.cue: UTF-8 with a byte-order mark, describing image.wav from the disc's first sector.
bool write_cue_sheet(const PQlist &pq, const char *outdir)
{
    log_msg(1, "Writing %s... ", "image.cue");
    staged_file out(path_in(outdir, "image.cue"));
    bool ok = static_cast<bool>(out);
    if (ok) {
        ok = std::fputs("\xEF\xBB\xBF", out.get()) >= 0 &&
             pq_write_cuesheet(*pq_utf8_copy(pq), "image.wav", "WAVE", 0, nullptr, out.get()) == 0;
        if (!ok && errno == 0)
            errno = EIO;
        if (ok)
            ok = out.commit();
        else
            out.discard();
    }
    if (!ok) {
        log_msg(1, "failed.\n");
        log_err("%s: %s\n", out.path().c_str(), std::strerror(errno));
        return false;
    }
    log_msg(1, "done.\n");
    return true;
}

} // namespace

std::vector<std::string> fileset_inputs(const checked_fileset &c)
{
    std::vector<std::string> names = {"DDPID", "DDPMS"};
    for (const fileset_file &f : c.fileset.files)
        names.push_back(f.name);
    for (const std::string &name : c.checksums.checksum_files)
        names.push_back(name);
    std::vector<std::string> paths;
    for (const std::string &name : names)
        if (const fileset_entry *e = fileset_find(c.source, name))
            paths.push_back(path_in(c.source.dir.c_str(), e->name));
    return paths;
}

int fileset_write_pq_sheet(const checked_fileset &c, const char *pq_sheet)
{
    if (pq_sheet == nullptr)
        return 0;
    if (c.fileset.errors() > 0 || !c.fileset.pq) {
        log_err("%s not written: the fileset has errors\n", pq_sheet);
        return 1;
    }
    return pq_sheet_write(*c.fileset.pq, pq_sheet, fileset_inputs(c));
}

int fileset_extract(const checked_fileset &c, const char *outdir, const char *pq_sheet)
{
    if (c.fileset.errors() > 0 || !c.fileset.pq) {
        log_err("the fileset has errors: nothing extracted\n");
        return 1;
    }
    struct stat st;
    if (stat(outdir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        log_err("%s: %s\n", outdir, S_ISDIR(st.st_mode) ? std::strerror(errno) : "not a directory");
        return 1;
    }
    // One run at a time writes into a directory.
    output_lock lock;
    if (lock.acquire(outdir) == 1)
        return 1;

    const PQlist &pq = *c.fileset.pq;
    const std::vector<wave_part> parts = track_parts(pq);
    std::vector<std::string> outputs = {path_in(outdir, "image.wav"), path_in(outdir, "image.cue")};
    for (const wave_part &p : parts)
        outputs.push_back(path_in(outdir, p.name));
    if (pq_sheet != nullptr)
        outputs.emplace_back(pq_sheet);
    for (const std::string &input : fileset_inputs(c)) {
        for (const std::string &output : outputs) {
            if (output_same_file(input.c_str(), output.c_str())) {
                log_err("%s is %s, a file of the fileset: extract into another directory\n", output.c_str(),
                        input.c_str());
                return 1;
            }
        }
    }
    output_remove_leftovers(outdir);

    if (!write_audio(c, outdir, parts) || !write_cue_sheet(pq, outdir))
        return 1;
    return fileset_write_pq_sheet(c, pq_sheet);
}
