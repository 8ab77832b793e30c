#include "fileset_extract.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>

#include "block_pipeline.h"
#include "cue_writer.h"
#include "fileset_files.h"
#include "flac_encoder.h"
#include "fileset_zip.h"
#include "log.h"
#include "parallel_digest.h"
#include "pq_sheet.h"
#include "pqlist.h"
#include "proof_page.h"
#include "release_tags.h"
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

/// The audio formats an extraction writes, by their file name extensions.
const char *audio_extension(bool flac) { return flac ? "flac" : "wav"; }

/// "NN.wav" or "NN.flac" for track file n.
std::string track_name(int n, const char *extension)
{
    std::array<char, 16> name{};
    std::snprintf(name.data(), name.size(), "%02d.%s", n, extension);
    return name.data();
}

/// One output audio file: a range of disc sectors, and the track it holds (0 for the audio hidden
/// before track 1).
struct audio_part {
    std::string name;
    long start;
    long end;
    int track;
};

/// The track files: each track from its index 01 to the next one's (the last to the lead-out),
/// and 00.wav (00.flac) for audio in track 1's pregap beyond its two seconds.
std::vector<audio_part> track_parts(const PQlist &pq, bool flac)
{
    std::vector<audio_part> parts;
    const long first = pq_track_start(pq, 1);
    const char *extension = audio_extension(flac);
    if (first > CD_FIRST_PREGAP_FRAMES)
        parts.push_back({track_name(0, extension), CD_FIRST_PREGAP_FRAMES, first, 0});
    const int tracks = pq_num_tracks(pq);
    for (int n = 1; n <= tracks; ++n)
        parts.push_back({track_name(n, extension), pq_track_start(pq, n),
                         n < tracks ? pq_track_start(pq, n + 1) : pq.lead_out, n});
    return parts;
}

/// An audio file being written under its temporary name, WAVE or FLAC.
class audio_output {
public:
    virtual ~audio_output() = default;
    virtual bool opened() const = 0;
    virtual bool write(const unsigned char *data, std::size_t n) = 0;
    /// Syncs and closes the file, not yet in place; false (errno set) when any write or the sync failed.
    virtual bool finish() = 0;
    /// Puts the file in place; false (errno set) when any write or the commit failed.
    virtual bool commit() = 0;
    virtual const std::string &path() const = 0;
    /// Why the file failed, for the message.
    virtual std::string why() const { return std::strerror(errno != 0 ? errno : EIO); }
};

/// A FLAC file of the release set.
class flac_output : public audio_output {
public:
    flac_output(const std::string &path, const flac_metadata &metadata, long sectors) : enc_(path, metadata, sectors) {}
    bool opened() const override { return enc_.opened(); }
    bool write(const unsigned char *data, std::size_t n) override { return enc_.write(data, n); }
    bool finish() override { return enc_.finish(); }
    bool commit() override { return enc_.commit(); }
    const std::string &path() const override { return enc_.path(); }
    std::string why() const override { return enc_.error().empty() ? audio_output::why() : enc_.error(); }

private:
    flac_encoder enc_;
};

/// A WAVE file being written: its header first, then the audio as it comes.
class wave_output : public audio_output {
public:
    wave_output(const std::string &path, long sectors) : file_(path)
    {
        if (!file_)
            return;
        // Every write is a block of audio: a stream buffer would only add a copy.
        std::setvbuf(file_.get(), nullptr, _IONBF, 0);
        const auto header = wave_header(static_cast<std::uint32_t>(sectors * CD_FRAME_BYTES));
        ok_ = file_.write(header.data(), header.size());
    }
    bool opened() const override { return static_cast<bool>(file_); }
    bool write(const unsigned char *data, std::size_t n) override
    {
        // Through the staged file, which starts the disk writes as the file grows: the syncs at
        // the end then have little left to wait for.
        ok_ = ok_ && file_.write(data, n);
        return ok_;
    }
    bool finish() override
    {
        if (!ok_) {
            const int err = errno != 0 ? errno : EIO;
            file_.discard();
            errno = err;
            return false;
        }
        return file_.finish();
    }
    bool commit() override
    {
        if (!ok_) {
            const int err = errno != 0 ? errno : EIO;
            file_.discard();
            errno = err;
            return false;
        }
        return file_.commit();
    }
    const std::string &path() const override { return file_.path(); }

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
    void put(ddp_files *list) { ddpf_add_stream_digests(c_.source, c_.fileset, sums_, hashed_, list); }

private:
    const checked_fileset &c_;
    std::vector<digest_state> sums_;
    std::vector<std::uint64_t> hashed_;
};

/// The audio file for `sectors` of the track `track` (-1: the whole disc) at `path`: WAVE, or
/// FLAC tagged from `disc` (its texts UTF-8) when it is given.
std::unique_ptr<audio_output> open_output(const std::string &path, long sectors, const PQlist *disc, int track)
{
    if (disc == nullptr)
        return std::make_unique<wave_output>(path, sectors);
    return std::make_unique<flac_output>(
        path, track < 0 ? release_image_metadata(*disc) : release_track_metadata(*disc, track), sectors);
}

/// The track files, written from the disc's blocks in order (on the second thread when there is
/// one): each opened when its first sector comes and finished (not yet put in place) after its last.
class track_writer {
public:
    track_writer(const char *outdir, const std::vector<audio_part> &parts, const PQlist *disc,
                 std::vector<std::unique_ptr<audio_output>> &files)
        : outdir_(outdir), parts_(parts), disc_(disc), files_(files)
    {
    }

    /// Writes the next block of the disc; false after a failure (see failure()).
    bool operator()(const data_block &b)
    {
        const long n = static_cast<long>(b.size / CD_FRAME_BYTES);
        const bool ok = write(b.data.get(), at_, n);
        at_ += n;
        return ok;
    }
    /// What failed, with the file's name.
    const std::string &failure() const { return failure_; }

private:
    bool write(const unsigned char *block, long at, long n)
    {
        for (long from = at; from < at + n;) {
            const bool open = files_.size() > next_ + 1;
            if (!open) {
                if (next_ == parts_.size() || parts_[next_].start >= at + n)
                    break;
                from = std::max(from, parts_[next_].start);
                const audio_part &p = parts_[next_];
                files_.push_back(open_output(path_in(outdir_, p.name), p.end - p.start, disc_, p.track));
            }
            audio_output &part = *files_.back();
            const long to = std::min(at + n, parts_[next_].end);
            if (!part.opened() ||
                !part.write(block + (from - at) * CD_FRAME_BYTES, static_cast<std::size_t>((to - from) * CD_FRAME_BYTES)) ||
                (to == parts_[next_].end && !part.finish())) {
                failure_ = part.path() + ": " + part.why();
                return false;
            }
            from = to;
            if (to == parts_[next_].end)
                ++next_;
        }
        return true;
    }

    const char *outdir_;
    const std::vector<audio_part> &parts_;
    const PQlist *disc_;
    std::vector<std::unique_ptr<audio_output>> &files_;
    std::size_t next_ = 0;
    long at_ = 0;
    std::string failure_;
};

/// Reads the disc into the pipeline and writes the whole-disc file from each block on this thread.
/// false when that failed: `failure` says what, or is empty when the error has been reported.
bool pump_disc(const checked_fileset &c, audio_output &image, block_pipeline &pipeline, std::string &failure)
{
    const long lead_out = c.fileset.pq->lead_out;
    disc_audio audio(c);
    for (long at = 0; at < lead_out;) {
        data_block b = pipeline.take();
        if (!b.data)
            return false;
        const long n = audio.read(b.data.get(), std::min(block_sectors, lead_out - at), &b.tag);
        if (n == 0)
            return false;
        b.size = static_cast<std::size_t>(n * CD_FRAME_BYTES);
        if (!image.opened() || !image.write(b.data.get(), b.size)) {
            failure = image.path() + ": " + image.why();
            return false;
        }
        if (!pipeline.give(std::move(b)))
            return false;
        at += n;
    }
    if (!image.finish()) {
        failure = image.path() + ": " + image.why();
        return false;
    }
    return true;
}

/// Writes the whole-disc file (first in `files`) and the track files in one pass over the audio,
/// each finished but not yet put in place, the audio files' checksums into `digests` when given.
/// The whole disc is written (or encoded) on this thread, the tracks and the checksums on the
/// second one when there is one. false with what failed in `failure` (empty when it has been reported).
bool write_audio(const checked_fileset &c, const char *outdir, const std::vector<audio_part> &parts, bool flac,
                 std::vector<std::unique_ptr<audio_output>> &files, ddp_files *digests, std::string &failure)
{
    const PQlist &pq = *c.fileset.pq;
    const std::unique_ptr<PQlist> disc = flac ? pq_utf8_copy(pq) : nullptr;
    files.push_back(open_output(path_in(outdir, std::string("image.") + audio_extension(flac)), pq.lead_out,
                                disc.get(), -1));
    audio_output &image = *files.front();
    audio_digests sums(c);
    track_writer tracks(outdir, parts, disc.get(), files);
    bool pumped = false;
    bool consumed = false;
    {
        block_pipeline pipeline(threads_for(static_cast<std::uint64_t>(pq.lead_out) * CD_FRAME_BYTES),
                                block_sectors * CD_FRAME_BYTES,
                                [&sums, &tracks](data_block &b) { return sums(b) && tracks(b); });
        pumped = pump_disc(c, image, pipeline, failure);
        if (pumped)
            consumed = pipeline.finish();
        else
            pipeline.cancel();
    }
    // The second thread has ended: what it wrote may be read.
    if (pumped && !consumed) {
        failure = tracks.failure();
        return false;
    }
    if (!pumped && failure.empty() && !tracks.failure().empty())
        failure = tracks.failure();
    if (!pumped)
        return false;
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

/// Writes `name` into `outdir` with `print`, whole under its temporary name, with the progress
/// line; null after reporting a failure.
std::unique_ptr<staged_file> write_whole(const char *outdir, const char *name, const std::function<bool(std::FILE *)> &print)
{
    log_msg(1, "Writing %s... ", name);
    auto out = std::make_unique<staged_file>(path_in(outdir, name));
    bool ok = static_cast<bool>(*out);
    if (ok) {
        errno = 0;
        ok = print(out->get()) && !std::ferror(out->get());
        if (!ok && errno == 0)
            errno = EIO;
        ok = ok ? out->finish() : (out->discard(), false);
    }
    if (!ok) {
        log_msg(1, "failed.\n");
        failed(out->path());
        return nullptr;
    }
    log_msg(1, "done.\n");
    return out;
}

/// Writes image.cue (UTF-8 with a byte-order mark, describing the whole-disc file `image` from the
/// disc's first sector); null after reporting a failure.
std::unique_ptr<staged_file> write_cue_sheet(const PQlist &pq, const char *outdir, const char *image)
{
    return write_whole(outdir, "image.cue", [&](std::FILE *out) {
        return std::fputs("\xEF\xBB\xBF", out) >= 0 &&
               pq_write_cuesheet(*pq_utf8_copy(pq), image, "WAVE", 0, nullptr, out) == 0;
    });
}

/// Writes the proof page (see proof_page.h) for the track files of `extension`; null after
/// reporting a failure.
std::unique_ptr<staged_file> write_proof_page(const checked_fileset &c, const char *outdir, const char *extension)
{
    return write_whole(outdir, proof_page_name, [&](std::FILE *out) {
        return proof_page_print(*pq_utf8_copy(*c.fileset.pq), latin1_to_utf8(c.fileset.master_id), extension, out) >= 0;
    });
}

/// Every name an extraction writes or replaces, either format's and the proof page.
std::vector<std::string> extraction_names()
{
    std::vector<std::string> names = {"image.wav", "image.flac", "image.cue", proof_page_name};
    for (const char *extension : {"wav", "flac"})
        for (int n = 0; n <= 99; ++n)
            names.push_back(track_name(n, extension));
    return names;
}

/// Puts the whole new set (the whole-disc file first in `files`, then the track files, the proof
/// page when there is one, and image.cue) in the place of the earlier one: an image.cue in the
/// directory always describes the audio files beside it, so the earlier one goes first and the new
/// one comes last, after the audio files and after the earlier extraction's files that the new set
/// does not hold (the other format's, an earlier proof page) are gone.
bool put_in_place(const char *outdir, const char *image, const std::vector<std::unique_ptr<audio_output>> &files,
                  staged_file *proof, staged_file &cue)
{
    log_msg(1, "Writing %s and %zu track files... ", image, files.size() - 1);
    log_flush(1);
    const std::string earlier = path_in(outdir, "image.cue");
    if (unlink(earlier.c_str()) != 0 && errno != ENOENT)
        return failed(earlier);
    for (const auto &f : files)
        if (!f->commit())
            return failed(f->path());
    for (const std::string &name : extraction_names()) {
        const std::string path = path_in(outdir, name);
        const bool kept = name == "image.cue" || std::any_of(files.begin(), files.end(), [&](const auto &f) {
                              return f->path() == path;
                          }) || (proof != nullptr && name == proof_page_name);
        if (!kept && unlink(path.c_str()) != 0 && errno != ENOENT)
            return failed(path);
    }
    log_msg(1, "done.\n");
    if (proof != nullptr && !proof->commit())
        return failed(proof->path());
    return cue.commit() || failed(cue.path());
}

/// Every file an extraction into `outdir` writes or removes: image.wav, image.flac, image.cue,
/// index.html, 00.wav to 99.wav and 00.flac to 99.flac.
std::vector<std::string> extraction_outputs(const char *outdir)
{
    std::vector<std::string> outputs;
    for (const std::string &name : extraction_names())
        outputs.push_back(path_in(outdir, name));
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
    for (const ddp_file &f : c.fileset.files)
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
    const ddp_files written = ddp_files_to_write(c.source.dir.c_str(), {}, true, true);
    for (const ddp_file &f : written)
        paths.push_back(ddp_file_path(written, f));
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
    std::vector<std::unique_ptr<audio_output>> files; ///< the whole disc's file, then the track files
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
    const std::vector<std::string> inputs = fileset_inputs(c);
    if (const auto same = output_first_same(inputs, outputs)) {
        if (!quiet)
            log_err("%s is %s, a file of the fileset: extract into another directory\n",
                    log_printable(outputs[same->second]).c_str(), log_printable(inputs[same->first]).c_str());
        return 1;
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

void fileset_extract_stage(const char *dir, const char *outdir, const extract_options &options, extract_stage &stage)
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
    out.ok = write_audio(c, outdir, track_parts(*c.fileset.pq, options.flac), options.flac, out.files, &stage.digests,
                         out.failure);
    // A checksum taken of an archive's entry that read back damaged vouches for nothing: the
    // check reads the entry again, and says what is wrong with it.
    for (const fileset_issue &i : fileset_zip_damage(c.source))
        std::erase_if(stage.digests.files, [&](const ddp_file &d) { return d.name == i.file; });
}

int fileset_extract(const checked_fileset &c, const char *outdir, const extract_options &options, extract_stage *stage,
                    extraction_record *written)
{
    if (c.fileset.errors() > 0 || !c.fileset.pq) {
        log_err("the fileset has errors: nothing extracted\n");
        return 1;
    }
    extract_stage own;
    extract_stage::outputs &out = *(stage != nullptr ? stage : &own)->out;
    // Files written ahead are put in place only now, when no input has become one of them.
    if (prepare_output(c, outdir, options.pq_sheet, false) != 0)
        return 1;
    output_remove_leftovers(outdir);

    const PQlist &pq = *c.fileset.pq;
    const std::vector<audio_part> parts = track_parts(pq, options.flac);
    const std::string image = std::string("image.") + audio_extension(options.flac);
    if (!out.done)
        out.ok = write_audio(c, outdir, parts, options.flac, out.files, nullptr, out.failure);
    if (!out.ok) {
        log_msg(1, "Writing %s and %zu track files... ", image.c_str(), parts.size());
        log_flush(1);
        if (!out.failure.empty())
            log_err("%s\n", log_printable(out.failure).c_str());
        return 1;
    }
    const std::unique_ptr<staged_file> proof =
        options.proof ? write_proof_page(c, outdir, audio_extension(options.flac)) : nullptr;
    if (options.proof && !proof)
        return 1;
    const std::unique_ptr<staged_file> cue = write_cue_sheet(pq, outdir, image.c_str());
    if (!cue || !put_in_place(outdir, image.c_str(), out.files, proof.get(), *cue))
        return 1;
    if (written != nullptr) {
        written->format = options.flac ? "flac" : "wav";
        written->files = {image, "image.cue"};
        for (const audio_part &p : parts)
            written->files.push_back(p.name);
        if (options.proof)
            written->files.push_back(proof_page_name);
    }
    return fileset_write_pq_sheet(c, options.pq_sheet, outdir);
}

int fileset_read_run(const char *ddpdir, const char *outdir, bool json, const extract_options &options)
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
        fileset_extract_stage(ddpdir, outdir, options, stage);
    checked_fileset checked = fileset_check(ddpdir, json, &stage.digests, !json);
    log_collect_errors(&errors);
    int status = checked.fileset.errors() > 0 ? 1 : 0;
    extraction_record written;
    if (outdir != nullptr)
        status = fileset_extract(checked, outdir, options, &stage, &written);
    else if (fileset_write_pq_sheet(checked, options.pq_sheet, nullptr) != 0)
        status = 1;
    log_collect_errors(nullptr);
    if (!written.format.empty())
        checked.extracted = std::move(written);
    if (json)
        fileset_print_end(checked, json, errors);
    return status;
}
