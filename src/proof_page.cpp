#include "proof_page.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "pq_sheet.h"
#include "pqlist.h"

namespace {

std::string escaped(const std::optional<std::string> &text) { return text ? html_escape(text->c_str()) : std::string(); }

std::string time_of(long frames)
{
    char time[16];
    return disc_time(frames, time, sizeof time);
}

/// The flags a plant reads on a PQ sheet, or a dash for none.
std::string flag_names(std::uint8_t flags)
{
    std::string names;
    for (const auto &[bit, name] : {std::pair{PQ_FLAG_PRE, "PRE"}, std::pair{PQ_FLAG_DCP, "DCP"},
                                    std::pair{PQ_FLAG_4CH, "4CH"}, std::pair{PQ_FLAG_SCMS, "SCMS"}})
        if ((flags & bit) != 0)
            names += (names.empty() ? "" : " ") + std::string(name);
    return names.empty() ? "-" : names;
}

// The measured length is shown in the disc's own unit, minutes, seconds and frames of 1/75 s,
// and marked when it differs from the PQ length by more than a frame.
const char page_script[] = R"(<script>
function discTime(frames) {
	var pad = function (n) { return (n < 10 ? '0' : '') + n; };
	return pad(Math.floor(frames / 4500)) + ':' + pad(Math.floor(frames / 75) % 60) + ':' + pad(frames % 75);
}
document.querySelectorAll('tr[data-frames]').forEach(function (row) {
	var audio = row.querySelector('audio');
	var cell = row.querySelector('td.measured');
	var show = function () {
		var frames = Math.round(audio.duration * 75);
		cell.textContent = discTime(frames);
		cell.setAttribute('data-measured', frames);
		cell.className = Math.abs(frames - Number(row.getAttribute('data-frames'))) <= 1 ? 'measured ok' : 'measured off';
	};
	audio.addEventListener('loadedmetadata', show);
	audio.addEventListener('error', function () { cell.textContent = 'does not play'; cell.className = 'measured off'; });
	if (audio.readyState >= 1)
		show();
});
</script>
)";

const char page_style[] = R"(<style>
body { font-family: sans-serif; font-size: 11pt; margin: 2em; }
table { border-collapse: collapse; margin-top: 1.5em; }
th, td { padding: 0.25em 0.8em; text-align: left; vertical-align: middle; }
table.pq thead th { border-bottom: 1px solid black; }
td.measured.ok { color: #176b17; }
td.measured.off { color: #b00000; font-weight: bold; }
audio { height: 2em; }
</style>
)";

void print_identity(const PQlist &pq, const std::string &master_id, std::FILE *out)
{
    std::fprintf(out, "<h1>%s</h1>\n<p class=\"performer\">%s</p>\n", escaped(pq.title).c_str(),
                 escaped(pq.performer).c_str());
    std::fprintf(out, "<table class=\"identity\">\n");
    std::fprintf(out, "<tr><th>UPC/EAN</th><td class=\"upc\">%s</td></tr>\n", html_escape(pq.upc_ean.data()).c_str());
    std::fprintf(out, "<tr><th>Master identifier</th><td class=\"master\">%s</td></tr>\n",
                 html_escape(master_id.c_str()).c_str());
    std::fprintf(out, "<tr><th>Total time</th><td class=\"total\">%s</td></tr>\n</table>\n", time_of(pq.lead_out).c_str());
}

/// One track's row: `n` 0 is the audio hidden before track 1, from its two seconds on.
void print_track_row(const PQlist &pq, int n, const char *extension, std::FILE *out)
{
    const PQtrack *t = n > 0 ? pq_get_track(pq, n) : nullptr;
    const int tracks = pq_num_tracks(pq);
    const long start = n > 0 ? pq_track_start(pq, n) : CD_FIRST_PREGAP_FRAMES;
    const long end = n == 0 ? pq_track_start(pq, 1) : n < tracks ? pq_track_start(pq, n + 1) : pq.lead_out;
    std::fprintf(out, "<tr data-frames=\"%ld\">\n<td class=\"track\">%02d</td><td>%s</td><td class=\"length\">%s</td>"
                      "<td class=\"measured\"></td>\n",
                 end - start, n, time_of(start).c_str(), time_of(end - start).c_str());
    std::fprintf(out, "<td class=\"isrc\">%s</td><td>%s</td><td class=\"title\">%s</td><td class=\"performer\">%s</td>\n",
                 t != nullptr ? html_escape(t->isrc.data()).c_str() : "", t != nullptr ? flag_names(t->flags).c_str() : "",
                 t != nullptr ? escaped(t->title).c_str() : "(hidden before track 1)",
                 t != nullptr ? escaped(t->performer).c_str() : "");
    std::fprintf(out, "<td><audio controls preload=\"metadata\" src=\"%02d.%s\"></audio></td>\n</tr>\n", n, extension);
}

} // namespace

int proof_page_print(const PQlist &pq, const std::string &master_id, const char *extension, std::FILE *out)
{
    std::fprintf(out, "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>%s</title>\n%s</head>\n<body>\n",
                 html_escape(pq.title.value_or("Proof").c_str()).c_str(), page_style);
    print_identity(pq, master_id, out);
    std::fprintf(out, "<table class=\"pq\">\n<thead><tr><th>Track</th><th>Start</th><th>Length</th><th>Measured</th>"
                      "<th>ISRC</th><th>Flags</th><th>Title</th><th>Performer</th><th>Listen</th></tr></thead>\n"
                      "<tbody>\n");
    if (pq_track_start(pq, 1) > CD_FIRST_PREGAP_FRAMES)
        print_track_row(pq, 0, extension, out);
    for (int n = 1; n <= pq_num_tracks(pq); ++n)
        print_track_row(pq, n, extension, out);
    std::fprintf(out, "</tbody>\n</table>\n%s", page_script);
    return std::fprintf(out, "</body>\n</html>\n");
}
