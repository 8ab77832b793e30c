#include "fileset_extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "block_pipeline.h"
#include "cue_writer.h"
#include "fileset_zip.h"
#include "log.h"
#include "parallel_digest.h"
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
    /// Syncs and closes the file, not yet in place; false (errno set) when any write or the sync failed.
    bool finish()
    {
        if (!ok_) {
            const int err = errno != 0 ? errno : EIO;
            file_.discard();
            errno = err;
            return false;
        }
        return file_.finish();
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

    /// Reads up to `sectors` sectors from the current position, within one audio stream, into `buf`:
    /// how many, with the stream's index in `segment`; 0 after reporting an error.
    long read(unsigned char *buf, long sectors, int *segment)
    {
        if (!segment_open() && !open_next())
            return 0;
        const audio_segment &s = c_.fileset.audio[segment_];
        const long n = std::min(sectors, s.start + s.sectors - position_);
        const std::size_t bytes = static_cast<std::size_t>(n * CD_FRAME_BYTES);
        if (std::fread(buf, 1, bytes, in_.get()) != bytes) {
            log_err("%s: %s\n", s.file.c_str(),
                    std::ferror(in_.get()) ? std::strerror(errno != 0 ? errno : EIO)
                                           : "the file became shorter while its audio was read");
            return 0;
        }
        *segment = static_cast<int>(segment_);
        position_ += n;
        if (position_ == s.start + s.sectors) {
            in_.reset();
            ++segment_;
        }
        return n;
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
            log_err("%s: %s\n", log_printable(s.file).c_str(), in_ ? std::strerror(errno) : why.c_str());
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

/// The checksums of the audio files, taken from the blocks as they are written out: of those
/// files only that one stream holds from the first byte, read to the last.
class audio_digests {
public:
    explicit audio_digests(const checked_fileset &c) : c_(c), sums_(c.fileset.audio.size()), hashed_(sums_.size()) {}

    /// A block of the stream `b.tag`; on the second thread when there is one.
    bool operator()(const data_block &b)
    {
        sums_[static_cast<std::size_t>(b.tag)].append(b.data.get(), b.size);
        hashed_[static_cast<std::size_t>(b.tag)] += b.size;
        return true;
    }

    /// Adds the checksums of the files read whole to `list`.
    void put(ddpf_list_t *list)
    {
        for (std::size_t i = 0; i < sums_.size(); ++i) {
            const audio_segment &s = c_.fileset.audio[i];
            const fileset_entry *e = fileset_find(c_.source, s.file);
            std::size_t streams = 0;
            for (const audio_segment &t : c_.fileset.audio)
                streams += t.file == s.file ? 1 : 0;
            if (e == nullptr || streams != 1 || s.offset != 0 || hashed_[i] != static_cast<std::uint64_t>(e->size))
                continue;
            const digest_pair d = sums_[i].finish();
            ddpf_add(list, s.file.c_str(), d.md5.c_str(), d.crc32.c_str());
        }
    }

private:
    const checked_fileset &c_;
    std::vector<digest_state> sums_;
    std::vector<std::uint64_t> hashed_;
};

/// Writes the block's sectors into the track files whose ranges they fall in, in order: each one
/// opened when its first sector comes and finished (not yet put in place) after its last.
bool write_tracks(const unsigned char *block, long at, long n, const char *outdir, const std::vector<wave_part> &parts,
                  std::size_t &next, std::vector<std::unique_ptr<wave_output>> &files, std::string &failure)
{
    for (long from = at; from < at + n;) {
        const bool open = files.size() > next + 1;
        if (!open) {
            if (next == parts.size() || parts[next].start >= at + n)
                break;
            from = std::max(from, parts[next].start);
            files.push_back(std::make_unique<wave_output>(path_in(outdir, parts[next].name),
                                                          parts[next].end - parts[next].start));
        }
        wave_output &part = *files.back();
        const long to = std::min(at + n, parts[next].end);
        if (!part.opened() || !part.write(block + (from - at) * CD_FRAME_BYTES,
                                          static_cast<std::size_t>((to - from) * CD_FRAME_BYTES)) ||
            (to == parts[next].end && !part.finish())) {
            failure = part.path() + ": " + std::strerror(errno != 0 ? errno : EIO);
            return false;
        }
        from = to;
        if (to == parts[next].end)
            ++next;
    }
    return true;
}

/// Writes image.wav (first in `files`) and the track files in one pass over the audio, each
/// finished but not yet put in place, the audio files' checksums into `digests` when given.
/// false with what failed in `failure` (empty when it has been reported).
bool write_audio(const checked_fileset &c, const char *outdir, const std::vector<wave_part> &parts,
                 std::vector<std::unique_ptr<wave_output>> &files, ddpf_list_t *digests, std::string &failure)
{
    const PQlist &pq = *c.fileset.pq;
    files.push_back(std::make_unique<wave_output>(path_in(outdir, "image.wav"), pq.lead_out));
    wave_output &image = *files.front();
    audio_digests sums(c);
    // Reading and writing here, the checksums on the second thread when there is one.
    block_pipeline pipeline(threads_for(static_cast<std::uint64_t>(pq.lead_out) * CD_FRAME_BYTES),
                            block_sectors * CD_FRAME_BYTES, [&sums](data_block &b) { return sums(b); });
    std::size_t next = 0;
    disc_audio audio(c);
    for (long at = 0; at < pq.lead_out;) {
        data_block b = pipeline.take();
        const long n = audio.read(b.data.get(), std::min(block_sectors, pq.lead_out - at), &b.tag);
        if (n == 0)
            return false;
        b.size = static_cast<std::size_t>(n * CD_FRAME_BYTES);
        if (!image.opened() || !image.write(b.data.get(), b.size)) {
            failure = image.path() + ": " + std::strerror(errno != 0 ? errno : EIO);
            return false;
        }
        if (!write_tracks(b.data.get(), at, n, outdir, parts, next, files, failure))
            return false;
        pipeline.give(std::move(b));
        at += n;
    }
    if (!image.finish()) {
        failure = image.path() + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    pipeline.finish();
    if (digests != nullptr)
        sums.put(digests);
    return true;
}

/// Says why the file at `path` failed; false.
bool failed(const std::string &path)
{
    log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno != 0 ? errno : EIO));
    return false;
}

/// Writes image.cue (UTF-8 with a byte-order mark, describing image.wav from the disc's first
/// sector), whole under its temporary name; null after reporting a failure.
std::unique_ptr<staged_file> write_cue_sheet(const PQlist &pq, const char *outdir)
{
    log_msg(1, "Writing %s... ", "image.cue");
    auto out = std::make_unique<staged_file>(path_in(outdir, "image.cue"));
    bool ok = static_cast<bool>(*out);
    if (ok) {
        ok = std::fputs("\xEF\xBB\xBF", out->get()) >= 0 &&
             pq_write_cuesheet(*pq_utf8_copy(pq), "image.wav", "WAVE", 0, nullptr, out->get()) == 0;
        if (!ok && errno == 0)
            errno = EIO;
        if (ok)
            ok = out->finish();
        else
            out->discard();
    }
    if (!ok) {
        log_msg(1, "failed.\n");
        failed(out->path());
        return nullptr;
    }
    log_msg(1, "done.\n");
    return out;
}

/// "NN.wav" for track file n.
std::string track_name(int n)
{
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "%02d.wav", n);
    return name.data();
}

/// Puts the whole new set (image.wav first in `files`, then the track files, and image.cue) in the
/// place of the earlier one: an image.cue in the directory always describes the audio files beside
/// it, so the earlier one goes first and the new one comes last, after the audio files and after
/// the earlier track files that the new set does not hold are gone.
bool put_in_place(const char *outdir, const std::vector<wave_part> &parts,
                  std::vector<std::unique_ptr<wave_output>> &files, staged_file &cue)
{
    log_msg(1, "Writing %s and %zu track files... ", "image.wav", parts.size());
    log_flush(1);
    const std::string earlier = path_in(outdir, "image.cue");
    if (unlink(earlier.c_str()) != 0 && errno != ENOENT)
        return failed(earlier);
    for (const auto &f : files)
        if (!f->commit())
            return failed(f->path());
    for (int n = 0; n <= 99; ++n) {
        const std::string name = track_name(n);
        if (std::any_of(parts.begin(), parts.end(), [&](const wave_part &p) { return p.name == name; }))
            continue;
        const std::string path = path_in(outdir, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            return failed(path);
    }
    log_msg(1, "done.\n");
    return cue.commit() || failed(cue.path());
}

/// Every file an extraction into `outdir` writes or removes: image.wav, image.cue, 00.wav to 99.wav.
std::vector<std::string> extraction_outputs(const char *outdir)
{
    std::vector<std::string> outputs = {path_in(outdir, "image.wav"), path_in(outdir, "image.cue")};
    for (int n = 0; n <= 99; ++n)
        outputs.push_back(path_in(outdir, track_name(n)));
    return outputs;
}

} // namespace

namespace {

/// The files a PQ sheet must not replace: the fileset's, and with `outdir` the extraction's.
std::vector<pq_sheet_taboo> pq_sheet_taboos(const checked_fileset &c, const char *outdir)
{
    std::vector<pq_sheet_taboo> taboos;
    for (const std::string &path : fileset_inputs(c))
        taboos.push_back({path, "a file of the fileset"});
    if (outdir != nullptr)
        for (const std::string &path : extraction_outputs(outdir))
            taboos.push_back({path, "a file this run writes"});
    return taboos;
}

} // namespace

std::vector<std::string> fileset_inputs(const checked_fileset &c)
{
    std::vector<std::string> names = {"DDPID", "DDPMS"};
    for (const fileset_file &f : c.fileset.files)
        names.push_back(f.name);
    for (const std::string &name : c.checksums.checksum_files)
        names.push_back(name);
    for (const ddpf_result_t &r : c.checksums.results)
        if (!r.file.empty())
            names.push_back(r.file);
    std::vector<std::string> paths;
    for (const std::string &name : names)
        if (const fileset_entry *e = fileset_find(c.source, name))
            paths.push_back(path_in(c.source.dir.c_str(), e->name));
    // The names korvel writes into a fileset belong to it, whether or not this one holds them.
    for (const char *name : {"IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "IMAGE.cue", "CHECKSUM.MD5",
                             "CHECKSUM.TXT"})
        paths.push_back(path_in(c.source.dir.c_str(), name));
    if (!c.source.archive.empty())
        paths.push_back(c.source.archive);
    return paths;
}

int fileset_write_pq_sheet(const checked_fileset &c, const char *pq_sheet, const char *outdir)
{
    if (pq_sheet == nullptr)
        return 0;
    if (c.fileset.errors() > 0 || !c.fileset.pq) {
        log_err("%s not written: the fileset has errors\n", log_printable(pq_sheet).c_str());
        return 1;
    }
    return pq_sheet_write(*c.fileset.pq, pq_sheet, pq_sheet_taboos(c, outdir));
}

struct extract_stage::outputs {
    std::vector<std::unique_ptr<wave_output>> files; ///< image.wav, then the track files
    std::string failure;                             ///< what failed in writing ahead, to report
    bool done = false;                               ///< the audio was written ahead of the check
    bool ok = false;                                 ///< ... and completely
};

extract_stage::extract_stage() : out(std::make_unique<outputs>()) {}

extract_stage::~extract_stage() = default;

namespace {

/// 0 when `outdir`, locked already, may take the extraction; 1 when not, after reporting why unless `quiet`.
int prepare_output(const checked_fileset &c, const char *outdir, const char *pq_sheet, bool quiet)
{
    const std::vector<std::string> outputs = extraction_outputs(outdir);
    for (const std::string &input : fileset_inputs(c)) {
        for (const std::string &output : outputs) {
            if (output_same_file(input.c_str(), output.c_str())) {
                if (!quiet)
                    log_err("%s is %s, a file of the fileset: extract into another directory\n",
                            log_printable(output).c_str(), log_printable(input).c_str());
                return 1;
            }
        }
    }
    return !quiet && pq_sheet != nullptr && pq_sheet_refused(pq_sheet, pq_sheet_taboos(c, outdir)) ? 1 : 0;
}

/// The output directory exists, is a directory and can be written: checked before anything is
/// read, so that a mistyped name does not cost a verification of the whole fileset first.
bool output_dir_usable(const char *outdir)
{
    struct stat st;
    if (stat(outdir, &st) != 0)
        return failed(outdir);
    if (!S_ISDIR(st.st_mode)) {
        log_err("%s: not a directory\n", log_printable(outdir).c_str());
        return false;
    }
    return access(outdir, W_OK | X_OK) == 0 || failed(outdir);
}

/// Takes the locks of a reading run: the writer's exclusive lock on the output directory, which
/// also covers the reading when the fileset is extracted into its own directory, and otherwise a
/// shared lock on the fileset directory, which no writer holds while it is taken. false after an error.
bool take_locks(const char *ddpdir, const char *outdir, output_lock &out_lock, output_lock &in_lock)
{
    if (outdir != nullptr) {
        if (!output_dir_usable(outdir) || out_lock.acquire(outdir) == 1)
            return false;
        if (output_same_file(outdir, ddpdir))
            return true;
    }
    // An archive takes no lock: korvel writes one under a temporary name and renames it whole.
    return fileset_is_archive(ddpdir) || in_lock.acquire_shared(ddpdir) != 1;
}

} // namespace

void fileset_extract_stage(const char *dir, const char *outdir, extract_stage &stage)
{
    checked_fileset c;
    std::string why;
    if (!fileset_list_path(dir, c.source, why))
        return;
    c.fileset = read_fileset(c.source);
    // Into the fileset's own directory, the files written ahead would be entries of the fileset.
    if (c.fileset.errors() > 0 || !c.fileset.pq || output_same_file(dir, outdir))
        return;
    extract_stage::outputs &out = *stage.out;
    if (prepare_output(c, outdir, nullptr, true) != 0)
        return;
    out.done = true;
    out.ok = write_audio(c, outdir, track_parts(*c.fileset.pq), out.files, &stage.digests, out.failure);
    // A checksum taken of an archive's entry that read back damaged vouches for nothing: the
    // check reads the entry again, and says what is wrong with it.
    for (const fileset_issue &i : fileset_zip_damage(c.source))
        std::erase_if(stage.digests.first, [&](const ddpf_entry_t &d) { return d.name == i.file; });
}

int fileset_extract(const checked_fileset &c, const char *outdir, const char *pq_sheet, extract_stage *stage)
{
    if (c.fileset.errors() > 0 || !c.fileset.pq) {
        log_err("the fileset has errors: nothing extracted\n");
        return 1;
    }
    extract_stage own;
    extract_stage::outputs &out = *(stage != nullptr ? stage : &own)->out;
    // Files written ahead are put in place only now, when no input has become one of them.
    if (prepare_output(c, outdir, pq_sheet, false) != 0)
        return 1;
    output_remove_leftovers(outdir);

    const PQlist &pq = *c.fileset.pq;
    const std::vector<wave_part> parts = track_parts(pq);
    if (!out.done)
        out.ok = write_audio(c, outdir, parts, out.files, nullptr, out.failure);
    if (!out.ok) {
        log_msg(1, "Writing %s and %zu track files... ", "image.wav", parts.size());
        log_flush(1);
        if (!out.failure.empty())
            log_err("%s\n", log_printable(out.failure).c_str());
        return 1;
    }
    const std::unique_ptr<staged_file> cue = write_cue_sheet(pq, outdir);
    if (!cue || !put_in_place(outdir, parts, out.files, *cue))
        return 1;
    return fileset_write_pq_sheet(c, pq_sheet, outdir);
}

int fileset_read_run(const char *ddpdir, const char *outdir, bool json, const char *pq_sheet)
{
    // The errors of the run, apart from the fileset's own, for the JSON report.
    std::vector<std::string> errors;
    log_collect_errors(&errors);
    output_lock out_lock;
    output_lock in_lock;
    const bool locked = take_locks(ddpdir, outdir, out_lock, in_lock);
    log_collect_errors(nullptr);
    if (!locked) {
        if (json) {
            checked_fileset none;
            none.source.dir = ddpdir;
            fileset_print_end(none, json, errors);
        }
        return 1;
    }
    // An extraction writes the audio ahead of the check and hashes it on the way: the audio
    // files are read once. The files take their names only when the check finds no error.
    extract_stage stage;
    if (outdir != nullptr)
        fileset_extract_stage(ddpdir, outdir, stage);
    const checked_fileset checked = fileset_check(ddpdir, json, &stage.digests, !json);
    log_collect_errors(&errors);
    int status = checked.fileset.errors() > 0 ? 1 : 0;
    if (outdir != nullptr)
        status = fileset_extract(checked, outdir, pq_sheet, &stage);
    else if (fileset_write_pq_sheet(checked, pq_sheet, nullptr) != 0)
        status = 1;
    log_collect_errors(nullptr);
    if (json)
        fileset_print_end(checked, json, errors);
    return status;
}
