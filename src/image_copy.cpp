#include "image_copy.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "block_pipeline.h"
#include "cue_files.h"
#include "log.h"
#include "md5.h"
#include "safe_output.h"

namespace {

/// The silence that PREGAP and POSTGAP put into the image.
long silence_bytes(const cuesheet_t *cue)
{
    long bytes = -cue->pregap_size - cue->padding_size;
    for (const auto &piece : cue->image)
        if (piece.file < 0)
            bytes += static_cast<long>(piece.bytes);
    return bytes;
}

enum class copy_result { ok, short_read, read_failed, short_write, damaged };

// The image is copied in blocks of 256 KiB: few enough system calls to cost
// nothing beside the checksums, and a small, fixed amount of memory for any
// length of disc. The block is a multiple of the stream buffers' size, so
// that the C library reads and writes it directly instead of through them.
constexpr std::size_t copy_block_size = 256 * 1024;

/// The side of the copy that takes each block as it is written: the image's MD5 and CRC-32
/// and every FLAC file's MD5 signature, and with FLAC audio the writing too (its decoding is
/// then the other side's work). It runs on the second thread when there is one.
struct image_sink {
    staged_file &image;
    bool writes = false;
    digest_state image_digests;
    std::vector<md5_context> file_md5;            ///< per audio file, for those with a signature
    std::vector<const unsigned char *> signature; ///< per audio file: FLAC's MD5 signature, or null
    int write_errno = 0;                          ///< why a write failed, when this side writes
    int damaged_file = -1;                        ///< the file whose audio fails its signature

    image_sink(staged_file &out, const cuesheet_t *cue) : image(out)
    {
        for (const auto &file : cue->files) {
            signature.push_back(file.input.md5_signature());
            writes = writes || file.input.is_flac();
        }
        file_md5.resize(signature.size());
        for (md5_context &ctx : file_md5)
            md5_init(&ctx);
    }

    /// A block of the image tagged with its file (-1 for silence); an empty one marks the end of its file.
    bool operator()(data_block &b)
    {
        const bool checked = b.tag >= 0 && signature[static_cast<std::size_t>(b.tag)] != nullptr;
        md5_context *ctx = checked ? &file_md5[static_cast<std::size_t>(b.tag)] : nullptr;
        if (b.size == 0) {
            std::uint8_t digest[16];
            if (ctx != nullptr)
                md5_finish(ctx, digest);
            if (ctx != nullptr && std::memcmp(digest, signature[static_cast<std::size_t>(b.tag)], 16) != 0) {
                damaged_file = b.tag;
                return false;
            }
            return true;
        }
        if (writes && !image.write(b.data.get(), b.size)) {
            write_errno = errno != 0 ? errno : EIO;
            return false;
        }
        if (ctx != nullptr)
            md5_append(ctx, b.data.get(), static_cast<int>(b.size));
        image_digests.append(b.data.get(), b.size);
        return true;
    }
};

/// The side of the copy that reads (or decodes) the audio into blocks, writes them when the sink does
/// not, and hands them over; on the thread that owns the run.
struct image_source {
    cuesheet_t *cue;
    staged_file &image;
    block_pipeline &pipeline;
    bool writes;

    /// Copies `count` bytes of the piece tagged `tag` (a file's audio, or zeros for -1).
    copy_result copy(audio_input *from, int tag, std::uint64_t count)
    {
        while (count > 0) {
            data_block b = pipeline.take();
            if (!b.data)
                return copy_result::short_write;
            b.size = static_cast<std::size_t>(std::min<std::uint64_t>(count, b.capacity));
            b.tag = tag;
            if (from == nullptr)
                std::memset(b.data.get(), 0, b.size);
            switch (from != nullptr ? from->read(b.data.get(), b.size) : audio_input::status::ok) {
            case audio_input::status::ok: break;
            case audio_input::status::ended: return copy_result::short_read;
            case audio_input::status::failed: return copy_result::read_failed;
            case audio_input::status::damaged: return copy_result::damaged;
            }
            if (writes && !image.write(b.data.get(), b.size))
                return copy_result::short_write;
            count -= b.size;
            if (!pipeline.give(std::move(b)))
                return copy_result::short_write;
        }
        return copy_result::ok;
    }

    /// Every piece of the image in order; the first fault, and the file it came from.
    copy_result copy_all(const cue_datafile_t **failed)
    {
        std::vector<long> left;
        for (const auto &file : cue->files)
            left.push_back(file.size);
        for (const auto &piece : cue->image) {
            if (piece.file < 0) {
                if (const copy_result r = copy(nullptr, -1, piece.bytes); r != copy_result::ok)
                    return r;
                continue;
            }
            const auto index = static_cast<std::size_t>(piece.file);
            cue_datafile_t &file = cue->files[index];
            *failed = &file;
            if (const copy_result r = copy(&file.input, piece.file, piece.bytes); r != copy_result::ok)
                return r;
            left[index] -= static_cast<long>(piece.bytes);
            // After a file's last byte: nothing may follow its stated length, and its MD5 signature is checked.
            if (left[index] == 0 && file.input.finish() != audio_input::status::ok)
                return copy_result::damaged;
            if (left[index] == 0 && !pipeline.give(data_block{nullptr, 0, 0, piece.file}))
                return copy_result::short_write;
        }
        return copy_result::ok;
    }
};

void report_size_mismatch(const cuesheet_t *cue)
{
    const long lead_out = cue->pq->lead_out;
    log_err("internal error in cuesheet structure\n");
    log_err("total frames  : %12ld\n", lead_out);
    log_err("total size    : %12ld\n", lead_out * CD_FRAME_BYTES);
    log_err("pregap to add : %12lu\n", static_cast<unsigned long>(cue->pregap_size));
    log_err("audio size    : %12lu\n", static_cast<unsigned long>(cue->audio_size));
    log_err("total size    : %12lu\n",
            static_cast<unsigned long>(cue->pregap_size + cue->audio_size + cue->padding_size + silence_bytes(cue)));
}

/// An audio file that ended early: it became shorter after it was measured.
void report_shrunk(const cue_datafile_t &file)
{
    struct stat st;
    const long long now = stat(file.path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    log_err("%s ended at byte %lld, while korvel was copying it; it was %lld bytes when the run started\n",
            log_printable(file.path).c_str(), now, static_cast<long long>(file.disk_size));
}

/// Reports why the copy failed: the source's fault, or else the sink's (a write, a FLAC signature).
void report_copy_failure(copy_result result, const cue_datafile_t *failed, const image_sink &sink,
                         const cuesheet_t *cue, const char *image_path)
{
    if (result == copy_result::short_write && sink.damaged_file >= 0) {
        log_err("%s\n", cue->files[static_cast<std::size_t>(sink.damaged_file)].input.signature_damage().c_str());
    } else if (result == copy_result::short_write && sink.write_errno != 0) {
        log_err("%s: %s\n", image_path, std::strerror(sink.write_errno));
    } else if (result == copy_result::damaged) {
        log_err("%s\n", failed->input.damage().c_str());
    } else if (result == copy_result::short_read) {
        // The audio file shrank since it was measured: there is no system error to show.
        report_shrunk(*failed);
    } else {
        log_err("%s: %s\n", image_path, std::strerror(errno != 0 ? errno : EIO));
    }
}

} // namespace

int cue_copy_audio(cuesheet_t *cue, const char *image_path, digest_pair *digests)
{
    if (cue->pq->lead_out * CD_FRAME_BYTES != image_bytes(cue->image) ||
        image_bytes(cue->image) != cue->pregap_size + cue->audio_size + cue->padding_size + silence_bytes(cue)) {
        report_size_mismatch(cue);
        return 1;
    }
    // The image is written under a temporary name: an audio data file may be this
    // fileset's own IMAGE.DAT, read to its end while its successor is written.
    staged_file image(image_path);
    if (!image) {
        log_err("%s: %s\n", image_path, std::strerror(errno));
        return 1;
    }
    // Every write is a whole block already: a stream buffer would only add a copy.
    std::setvbuf(image.get(), nullptr, _IONBF, 0);

    errno = 0;
    image_sink sink(image, cue);
    const cue_datafile_t *failed = nullptr;
    copy_result result;
    {
        block_pipeline pipeline(threads_for(static_cast<std::uint64_t>(image_bytes(cue->image))), copy_block_size,
                                [&sink](data_block &b) { return sink(b); });
        image_source source{cue, image, pipeline, !sink.writes};
        result = source.copy_all(&failed);
        // The image reaches the disk while the other thread is still hashing, when this one wrote it.
        if (result == copy_result::ok && source.writes && !image.finish())
            result = copy_result::read_failed;
        const int err = errno;
        if (result != copy_result::ok)
            pipeline.cancel();
        else if (!pipeline.finish())
            result = copy_result::short_write;
        errno = err;
    }
    if (result == copy_result::ok && image.commit()) {
        if (digests != nullptr)
            *digests = sink.image_digests.finish();
        return 0;
    }
    if (result == copy_result::ok)
        result = copy_result::read_failed; // the commit failed: errno tells why
    report_copy_failure(result, failed, sink, cue, image_path);
    // A partial image never gets its final name, where it could be taken for a complete one.
    image.discard();
    return 1;
}
