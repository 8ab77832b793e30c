// Fuzz target: a whole DDP fileset in memory, read and reported on. One input is
// the directory's files, each introduced by a line "@@ NAME [SIZE] [dir|fifo|link]"
// (SIZE: what the listing claims, for audio files whose bytes are never read).
// The reader takes DDPID, DDPMS, the PQ stream and CD-Text from it, and the
// report is printed as text and as JSON. Besides the sanitizers, the harness
// traps when a fileset without errors is not a disc korvel could write. An input
// that begins with a ZIP signature is a ZIP archive of a fileset, read in place.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fileset_check.h"
#include "fileset_zip.h"
#include "fuzz_support.h"
#include "log.h"
#include "pq_sheet.h"
#include "pqlist.h"

namespace {

/// The files of the input: each "@@ " line starts one.
fileset_source memory_fileset(std::string_view input)
{
    fileset_source src;
    constexpr std::string_view mark = "@@ ";
    std::size_t at = input.find(mark);
    while (at != std::string_view::npos && src.entries.size() < 64) {
        const std::size_t line_end = input.find('\n', at);
        const std::size_t next = input.find(mark, at + mark.size());
        if (line_end == std::string_view::npos || (next != std::string_view::npos && next < line_end)) {
            at = next;
            continue;
        }
        std::string_view line = input.substr(at + mark.size(), line_end - at - mark.size());
        const std::size_t end = next == std::string_view::npos ? input.size() : next;
        fileset_entry e;
        e.bytes = std::string(input.substr(line_end + 1, end - line_end - 1));
        e.size = static_cast<std::int64_t>(e.bytes.size());
        const std::size_t blank = line.find(' ');
        e.name = std::string(line.substr(0, blank));
        for (std::string_view rest = blank == std::string_view::npos ? "" : line.substr(blank + 1); !rest.empty();) {
            const std::size_t space = rest.find(' ');
            const std::string word(rest.substr(0, space));
            if (word == "dir")
                e.kind = fileset_entry_kind::directory;
            else if (word == "fifo")
                e.kind = fileset_entry_kind::other;
            else if (word == "link")
                e.kind = fileset_entry_kind::symlink;
            else if (!word.empty() && word.size() < 13 && word.find_first_not_of("0123456789") == std::string::npos)
                e.size = std::stoll(word);
            rest = space == std::string_view::npos ? "" : rest.substr(space + 1);
        }
        src.entries.push_back(std::move(e));
        at = next;
    }
    return src;
}

/// A disc read without errors is one korvel could have written: Red Book sound, its audio
/// joined from sector 0 to the lead-out, index points rising.
void check_sound(const ddp_fileset &fs)
{
    if (!fs.pq || !pq_red_book_breaks(*fs.pq).empty() || fs.audio.empty() || fs.pq->lead_out != fs.audio_sectors)
        __builtin_trap();
    long end = 0;
    for (const audio_segment &s : fs.audio) {
        if (s.start != end || s.sectors < 0)
            __builtin_trap();
        end += s.sectors;
    }
    const int tracks = pq_num_tracks(*fs.pq);
    if (end != fs.audio_sectors || tracks < 1 || tracks > 99)
        __builtin_trap();
    long last = -1;
    for (const PQtrack *t = fs.pq->tracks.get(); t != nullptr; t = t->next.get())
        for (long position : t->index)
            if (position != -1 && position <= last)
                __builtin_trap();
            else if (position != -1)
                last = position;
    if (last >= fs.pq->lead_out)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzz::silence_output();
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    fileset_source archive;
    std::string why;
    const bool zipped = input.substr(0, 2) == "PK";
    if (zipped && !fileset_list_zip_bytes(std::string(input), "fuzz.zip", archive, why))
        return 0;
    for (const bool json : {false, true}) {
        log_set_verbose(3);
        const checked_fileset c = fileset_check_source(zipped ? archive : memory_fileset(input), json);
        if (c.fileset.errors() + c.fileset.warnings() != static_cast<int>(c.fileset.issues.size()))
            __builtin_trap();
        if (c.fileset.errors() == 0)
            check_sound(c.fileset);
        if (c.fileset.pq && !json)
            pq_print_html(*c.fileset.pq, stdout);
    }
    return 0;
}
