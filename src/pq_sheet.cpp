#include "pq_sheet.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

#include "cdtext_msjis.h"
#include "log.h"
#include "pqlist.h"
#include "safe_output.h"

namespace {

/// Where a sheet goes: the path with its symbolic links followed, and whether it is written into
/// as it is rather than replaced.
struct sheet_target {
    std::string path;
    bool direct = false;
};

/// Follows the links of `path`. A target that exists and is not a regular file is written into
/// directly, and so is anything reached through /proc or /dev/fd, whose links name open files
/// (standard output) rather than places in a directory.
sheet_target resolve(const char *path)
{
    sheet_target t{path, false};
    // As many links as the system itself follows before it gives up (ELOOP).
    for (int hops = 0; hops < 40; ++hops) {
        if (t.path.starts_with("/proc/") || t.path.starts_with("/dev/fd/")) {
            t.direct = true;
            return t;
        }
        struct stat st;
        if (lstat(t.path.c_str(), &st) != 0)
            return t; // a new file
        if (!S_ISLNK(st.st_mode)) {
            t.direct = !S_ISREG(st.st_mode);
            return t;
        }
        std::array<char, 4096> link{};
        const ssize_t n = readlink(t.path.c_str(), link.data(), link.size() - 1);
        if (n <= 0)
            break;
        const std::string target(link.data(), static_cast<std::size_t>(n));
        t.path = target.front() == '/' ? target : tolk_path_get_dir(t.path.c_str()) + target;
    }
    // A loop of links: the open says so.
    t.path = path;
    t.direct = true;
    return t;
}

/// Writes into an existing file that is not replaced. The open does not wait for a FIFO's reader:
/// a FIFO nobody reads is an error (ENXIO), not a hang.
bool write_direct(const PQlist &pq, const char *path)
{
    const int fd = open(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO)
            log_err("%s: no process reads from it\n", log_printable(path).c_str());
        else
            log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
        return false;
    }
    // The writes wait for a slow reader again, rather than fail.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file_ptr out(fdopen(fd, "w"));
    if (!out) {
        close(fd);
    } else {
        pq_print_html(pq, out.get());
        if (close_checked(out))
            return true;
    }
    log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno != 0 ? errno : EIO));
    return false;
}

} // namespace

int pq_sheet_refused(const char *path, const std::vector<pq_sheet_taboo> &taboos)
{
    const sheet_target target = resolve(path);
    for (const pq_sheet_taboo &taboo : taboos) {
        if (output_same_place(taboo.path.c_str(), target.path.c_str())) {
            log_err("%s is %s, %s: the PQ sheet never replaces a file of the run\n", log_printable(path).c_str(),
                    log_printable(taboo.path).c_str(), taboo.what);
            return 1;
        }
    }
    return 0;
}

int pq_sheet_write(const PQlist &pq, const char *path, const std::vector<pq_sheet_taboo> &taboos)
{
    if (pq_sheet_refused(path, taboos))
        return 1;
    const sheet_target target = resolve(path);
    log_msg(1, "Writing PQ sheet %s... ", log_printable(path).c_str());
    if (target.direct) {
        // What korvel printed before goes out before the sheet, should both share a terminal or pipe.
        std::fflush(stdout);
        const bool written = write_direct(pq, path);
        log_msg(1, "%s\n", written ? "done." : "failed.");
        return written ? 0 : 1;
    }
    staged_file out(target.path);
    if (out) {
        pq_print_html(pq, out.get());
        if (out.commit()) {
            log_msg(1, "done.\n");
            return 0;
        }
    }
    log_msg(1, "failed.\n");
    log_err("%s: %s\n", log_printable(path).c_str(), std::strerror(errno));
    return 1;
}

// ---- The page ----

// Texts from the cue sheet go into the page as text, never as markup.
std::string html_escape(const char *text)
{
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += *p; break;
        }
    }
    return out;
}

namespace {

std::string html_text(const std::optional<std::string> &text) { return text ? html_escape(text->c_str()) : std::string(); }

/// Writes each line of `lines` (null: the character set's meta line); the count of the last.
template <std::size_t N>
int print_lines(std::FILE *out, const char *const (&lines)[N], const char *charset = nullptr)
{
    int last = 0;
    for (const char *line : lines)
        last = line != nullptr ? std::fprintf(out, "%s", line) : std::fprintf(out, "\t<meta charset=\"%s\" />\n", charset);
    return last;
}

/// The page's head, its heading, and the disc's table.
int print_head(const PQlist &pq, std::FILE *out)
{
    static const char *const head[] = {
        "<!DOCTYPE html>\n",
        "<html>\n",
        "<head>\n",
        nullptr, // the character set of the texts
        "\t<meta name=\"generator\" content=\"vantrel by Quenby\" />\n",
        "\t<title>PQ Listing</title>\n",
        "\t<style type=\"text/css\">\n",
        "\t\tbody { font-family: \"Arial\", sans-serif; font-size: 10pt; }\n",
        "\t\tdl dt, dl dd { display: inline; }\n",
        "\t\ttable { border-collapse: collapse; margin-top: 2em; }\n",
        "\t\ttable td { vertical-align: top }\n",
        "\t\ttable thead th { border-bottom: 1pt solid black; vertical-align: bottom; }\n",
        "\t\ttable th, table td { padding-right: 1em; text-align: left; }\n",
        "\t\ttr.totalTime { border-top: 1pt solid black; }\n",
        // The plant prints the sheet on A4: long titles wrap, even inside a word, rather
        // than run off the paper; times and codes stay on one line; rows are never split.
        "\t\t@page { size: A4; margin: 15mm; }\n",
        "\t\t@media print {\n",
        "\t\t\ttable th, table td { white-space: nowrap; }\n",
        "\t\t\ttable td:last-child { white-space: normal; overflow-wrap: anywhere; }\n",
        "\t\t\ttable tr { break-inside: avoid; }\n",
        "\t\t}\n",
        "\t</style>\n",
        "</head>\n",
        "<body>\n",
        "\t<h1>PQ Listing</h1>\n",
    };
    // The texts go into the page as the list holds them: ISO 8859-1, or MS-JIS (Shift-JIS).
    print_lines(out, head, pq.text_charset == CDTEXT_CHARSET_MSJIS ? "Shift_JIS" : "Windows-1252");

    std::fprintf(out, "\t<table>\n");
    std::fprintf(out, "\t\t<tr><th>Disc Title:</th><td>%s</td></tr>\n", html_text(pq.title).c_str());
    std::fprintf(out, "\t\t<tr><th>Disc Performer:</th><td>%s</td></tr>\n", html_text(pq.performer).c_str());
    std::fprintf(out, "\t\t<tr><th>UPC/EAN:</th><td>%s</td></tr>\n", html_escape(pq.upc_ean.data()).c_str());
    return std::fprintf(out, "\t</table>\n\n");
}

/// One row of the track table: track n's index i; index 1's row also has the
/// track's length, ISRC and title.
int print_index_row(const PQlist &pq, const PQtrack &t, int n, int i, bool first_row, std::FILE *out)
{
    char time[9];
    std::fprintf(out, "\t\t\t<tr>\n");
    if (first_row)
        std::fprintf(out, "\t\t\t\t<td>%02d</td>\n", n);
    else
        std::fprintf(out, "\t\t\t\t<td></td>\n");
    std::fprintf(out, "\t\t\t\t<td>%02d</td>\n", i);
    std::fprintf(out, "\t\t\t\t<td>%s</td>\n", frames2str(t.index[i], time));
    if (i == 1) {
        std::fprintf(out, "\t\t\t\t<td>%s</td>\n", frames2str(pq_track_length(pq, n, 0), time));
        std::fprintf(out, "\t\t\t\t<td>%s</td>\n", html_escape(t.isrc.data()).c_str());
        std::fprintf(out, "\t\t\t\t<td>%s</td>\n", html_text(t.title).c_str());
    } else {
        for (int k = 0; k < 3; ++k)
            std::fprintf(out, "\t\t\t\t<td></td>\n");
    }
    return std::fprintf(out, "\t\t\t</tr>\n");
}

/// The track table: a row per index of every track.
int print_tracks(const PQlist &pq, std::FILE *out)
{
    static const char *const table_head[] = {
        "\t<table>\n",
        "\t\t<thead>\n",
        "\t\t\t<tr>\n",
        "\t\t\t\t<th>Trk</th>\n",
        "\t\t\t\t<th>Idx</th>\n",
        "\t\t\t\t<th>Start</th>\n",
        "\t\t\t\t<th>Duration</th>\n",
        "\t\t\t\t<th>ISRC</th>\n",
        "\t\t\t\t<th>Title</th>\n",
        "\t\t\t</tr>\n",
        "\t\t</thead>\n",
        "\t\t<tbody>\n",
    };
    int last = print_lines(out, table_head);
    int n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        bool first_row = true;
        for (int i = 0; i < PQ_MAX_INDEX; ++i) {
            if (t->index[i] == -1)
                continue;
            last = print_index_row(pq, *t, n, i, first_row, out);
            first_row = false;
        }
    }
    return last;
}

/// The total time and the end of the page.
int print_total(const PQlist &pq, std::FILE *out)
{
    char time[9];
    // The total sits in a second table body; the first one is left open.
    std::fprintf(out, "\t\t<tbody>\n");
    std::fprintf(out, "\t\t\t<tr class=\"totalTime\">\n");
    std::fprintf(out, "\t\t\t\t<th colspan=\"2\">Total Time:</th>\n");
    std::fprintf(out, "\t\t\t\t<th>%s</th>\n", frames2str(pq.lead_out, time));
    for (int k = 0; k < 3; ++k)
        std::fprintf(out, "\t\t\t\t<th></th>\n");
    std::fprintf(out, "\t\t\t</tr>\n");
    std::fprintf(out, "\t</table>\n");
    std::fprintf(out, "</body>\n");
    return std::fprintf(out, "</html>\n");
}

} // namespace

int pq_print_html(const PQlist &pq, std::FILE *out)
{
    print_head(pq, out);
    print_tracks(pq, out);
    return print_total(pq, out);
}
