#include "cue_summary.h"

#include <cstdio>
#include <string>

#include "cdtext_reader.h"
#include "cue_files.h"
#include "pq_cdtext.h"
#include "pqlist.h"
#include "tolk_utils.h"

namespace {

/// Lists a binary CD-Text file from its first pack on; one that cannot be read is not listed.
void list_cdtext_file(const std::string &path, long header)
{
    file_ptr fp = open_input(path.c_str());
    if (!fp)
        return;
    std::string packs;
    if (header == 0) {
        parse_cdtext(fp.get());
        return;
    }
    const auto bytes = std::fseek(fp.get(), header, SEEK_SET) == 0 ? read_sheet(fp.get()) : std::nullopt;
    if (!bytes || bytes->empty())
        return;
    packs = *bytes;
    file_ptr in(fmemopen(packs.data(), packs.size(), "rb"));
    if (in)
        parse_cdtext(in.get());
}

} // namespace

void cue_summary(const cuesheet_t *cue)
{
    char time[13];
    auto seconds = [](long bytes) { return static_cast<double>(bytes) / CD_FRAME_BYTES / CD_FRAMES_PER_SECOND; };

    std::printf("=== CUE IMAGE SUMMARY ===\n");
    std::printf("Cue file : %s\n", cue->cuefile->c_str());
    for (const auto &file : cue->files) {
        std::printf("*** Audio data ***\n");
        std::printf("File name: %s\n", file.path.c_str());
        std::printf("File type: ");
        switch (file.filetype) {
        case CUE_FILETYPE_WAVE: std::printf("%s\n", file.input.is_flac() ? "FLAC" : "Microsoft Wave"); break;
        case CUE_FILETYPE_BINARY: std::printf("raw (little endian)\n"); break;
        case CUE_FILETYPE_MOTOROLA: std::printf("raw (big endian)\n"); break;
        default: std::printf("\n"); break;
        }
        std::printf("Starts at: %s\n", tolk_format_time(time, seconds(file.start)));
        std::printf("Ends at  : %s\n", tolk_format_time(time, seconds(file.end)));
        std::printf("Length   : %s\n", tolk_format_time(time, seconds(file.size)));
    }
    if (cue->padding_size != 0)
        std::printf("Padding : %s (%lu bytes)\n", tolk_format_time(time, seconds(cue->padding_size)),
                    static_cast<unsigned long>(cue->padding_size));
    pq_print(*cue->pq);

    if (cue->cdtextfile) {
        std::printf("*** CD Text ***\n");
        std::printf("CD Text file: %s\n", cue->cdtextfile->c_str());
        if (cue->cdtext_header != 0)
            std::printf("CD Text file header: %ld bytes before the packs, not copied\n", cue->cdtext_header);
        list_cdtext_file(*cue->cdtextfile, cue->cdtext_header);
    } else if (pq_has_cdtext(*cue->pq)) {
        std::printf("*** CD Text ***\n");
        pq_print_cdtext(*cue->pq);
    }
}
