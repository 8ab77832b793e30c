// Fuzz target: a checksum file found in a fileset directory. The input goes
// through each checksum-file reader and then through the validator, which
// compares it with the files of a tiny fileset made once at start-up. The first
// input byte chooses the fileset: korvel's own (DDPID, DDPMS, SD, IMAGE.DAT, the
// input as CHECKSUM.MD5), or one whose map names PQ_DESCR and image.dat, where a
// file named MD5 may hold the image's MD5 alone (the input as MD5).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ddp_checksum.h"
#include "fuzz_support.h"
#include "miniddp.h"
#include "pqlist.h"

namespace {

/// Two sectors of patterned audio: enough to checksum, cheap to read on every input.
constexpr long image_sectors = 2;

/// A disc of one track that starts after the 150-frame pregap and ends at the image's end.
std::unique_ptr<PQlist> tiny_disc()
{
    auto pq = pq_new();
    PQtrack *t = new_track(*pq);
    t->index[0] = 0;
    t->index[1] = 1;
    pq->lead_out = image_sectors;
    return pq;
}

void write_image(const std::string &path)
{
    std::string image(static_cast<std::size_t>(image_sectors * CD_FRAME_BYTES), '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>(i * 31 + (i >> 8));
    fuzz::write_file(path, image.data(), image.size());
}

/// A fileset whose map names `pq_name` and `image_name`, written with korvel's own stream writers.
void make_fileset(const fuzz::scratch_dir &dir, const std::string &sub, const char *pq_name, const char *image_name)
{
    const std::string at = dir.file(sub);
    if (mkdir(at.c_str(), 0700) != 0)
        std::abort();
    const auto pq = tiny_disc();

    file_ptr sd = tolk_fopen((at + "/" + pq_name).c_str(), "wb");
    if (!sd)
        std::abort();
    const int sd_size = ddp_write_sd_stream(sd.get(), *pq);
    file_ptr ms = tolk_fopen((at + "/DDPMS").c_str(), "wb");
    file_ptr id = tolk_fopen((at + "/DDPID").c_str(), "wb");
    if (!ms || !id || sd_size <= 0)
        std::abort();
    ddp_write_ms_stream(ms.get(), image_name, static_cast<int>(image_sectors), pq_name, sd_size, 150);
    if (ddp_write_id_stream(id.get(), *pq, "FUZZ", "") != 128 || !close_checked(sd) || !close_checked(ms) ||
        !close_checked(id))
        std::abort();
    write_image(at + "/" + image_name);
}

const fuzz::scratch_dir &filesets()
{
    static const fuzz::scratch_dir dir;
    static const bool made = [] {
        make_fileset(dir, "own", "SD", "IMAGE.DAT");
        make_fileset(dir, "other", "PQ_DESCR", "image.dat");
        return true;
    }();
    static_cast<void>(made);
    return dir;
}

bool is_hex_or_empty(const char *text, std::size_t width)
{
    const std::size_t len = std::strlen(text);
    return len == 0 || (len == width && tolk_str_ishex(text));
}

/// Whatever a reader took in is a name of at most 17 characters with full-width checksums.
void check_entries(const ddp_files &list)
{
    for (const ddp_file &e : list) {
        if (e.name.size() > 17 || !is_hex_or_empty(e.md5.c_str(), 32) || !is_hex_or_empty(e.crc32.c_str(), 8))
            __builtin_trap();
    }
}

void read_with(int (*reader)(ddp_files *, const char *), const std::string &path)
{
    ddp_files list;
    ddpf_init(&list);
    const int r = reader(&list, path.c_str());
    if (r < -1 || r > 1 || (r == 0) != !list.empty())
        __builtin_trap();
    check_entries(list);
    ddpf_free(&list);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    const fuzz::scratch_dir &dir = filesets();
    if (size == 0)
        return 0;
    const bool own = (data[0] & 1) == 0;
    const std::string fileset = dir.file(own ? "own" : "other");
    const std::string path = fileset + (own ? "/CHECKSUM.MD5" : "/MD5");
    fuzz::write_file(path, data + 1, size - 1);

    read_with(ddpf_read_crc32, path);
    read_with(ddpf_read_md5, path);
    read_with(ddpf_read_md5_wave_editor, path);
    // Every comparison and every fault of a checksum file is counted once: the failures are some of them.
    ddpf_validation_t report;
    const int failed = ddp_checksum_validate(fileset.c_str(), &report);
    if (failed < 0 || static_cast<std::size_t>(failed) > report.results.size() + report.issues.size())
        __builtin_trap();
    std::remove(path.c_str());
    return 0;
}
