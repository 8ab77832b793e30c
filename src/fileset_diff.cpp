#include "fileset_diff.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio_compare.h"
#include "cdtext.h"
#include "cdtext_msjis.h"
#include "cdtext_reader.h"
#include "fileset_check.h"
#include "fileset_zip.h"
#include "log.h"
#include "pqlist.h"
#include "safe_output.h"
#include "text_encoding.h"

namespace {

using json = nlohmann::ordered_json;

/// One difference: a line of the text report and a member of the JSON report's list.
struct difference {
    std::string kind;  ///< "errors", "identity", "pq", "cdtext" or "audio"
    int track = -1;    ///< the track it concerns; -1 for the disc, -2 for a fileset as a whole
    std::string field; ///< "ISRC", "index 01", "TITLE", ...
    std::string a;     ///< A's value as the line shows it; empty for none
    std::string b;
    std::string line;
    int weight = 1;    ///< how many differences it counts for: a fileset's errors count each
    json detail = nullptr;
};

/// The differences in the order they are found.
class difference_list {
public:
    /// A field whose value changed: "track 03: ISRC USAB12400003 -> USAB12400013".
    void changed(const char *kind, int track, const std::string &field, const std::string &a, const std::string &b)
    {
        if (a == b)
            return;
        const std::string line = where(track) + field + " " + shown(a) + " -> " + shown(b);
        items.push_back({kind, track, field, a, b, line, 1, nullptr});
    }
    /// A finding told in words: "track 03: audio gain -0.50 dB".
    void found(const char *kind, int track, const std::string &field, const std::string &words, json detail,
               int weight = 1)
    {
        items.push_back({kind, track, field, "", "", where(track) + words, weight, std::move(detail)});
    }
    int count() const
    {
        int n = 0;
        for (const difference &d : items)
            n += d.weight;
        return n;
    }

    std::vector<difference> items;

private:
    /// "track 03: ", "disc: " for the disc (-1), nothing for a line that names its fileset (-2).
    static std::string where(int track)
    {
        char text[16];
        std::snprintf(text, sizeof text, "track %02d: ", track);
        return track == -2 ? "" : track < 0 ? "disc: " : text;
    }
    static std::string shown(const std::string &value) { return value.empty() ? "none" : log_printable(value); }
};

std::string msf(long frames)
{
    if (frames < 0)
        return "";
    char text[32];
    return disc_time(frames, text, sizeof text);
}

std::string two_digits(int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02d", n);
    return text;
}

// ---- Identity and the PQ stream ----

void compare_identity(const ddp_fileset &a, const ddp_fileset &b, difference_list &d)
{
    d.changed("identity", -1, "DDP level", a.level, b.level);
    d.changed("identity", -1, "UPC/EAN", a.upc_ean, b.upc_ean);
    d.changed("identity", -1, "master ID", a.master_id, b.master_id);
}

/// The flags as the PQ listing's columns name them, those set.
std::string flags_text(std::uint8_t flags)
{
    std::string text;
    const std::pair<std::uint8_t, const char *> names[] = {
        {PQ_FLAG_PRE, "PRE"}, {PQ_FLAG_DCP, "DCP"}, {PQ_FLAG_4CH, "4CH"}, {PQ_FLAG_SCMS, "SCMS"}};
    for (const auto &[bit, name] : names)
        if ((flags & bit) != 0)
            text += (text.empty() ? "" : " ") + std::string(name);
    return text;
}

void compare_track(const PQlist &pa, const PQlist &pb, int n, difference_list &d)
{
    const PQtrack &a = *pq_get_track(pa, n);
    const PQtrack &b = *pq_get_track(pb, n);
    for (int i = 0; i < PQ_MAX_INDEX; ++i)
        d.changed("pq", n, "index " + two_digits(i), msf(a.index[static_cast<std::size_t>(i)]),
                  msf(b.index[static_cast<std::size_t>(i)]));
    d.changed("pq", n, "length", msf(pq_track_length(pa, n, 0)), msf(pq_track_length(pb, n, 0)));
    d.changed("pq", n, "ISRC", a.isrc.data(), b.isrc.data());
    d.changed("pq", n, "flags", flags_text(a.flags), flags_text(b.flags));
}

void compare_pq(const PQlist &a, const PQlist &b, difference_list &d)
{
    const int tracks_a = pq_num_tracks(a);
    const int tracks_b = pq_num_tracks(b);
    d.changed("pq", -1, "tracks", std::to_string(tracks_a), std::to_string(tracks_b));
    d.changed("pq", -1, "catalog in the PQ stream", a.upc_ean.data(), b.upc_ean.data());
    for (int n = 1; n <= tracks_a && n <= tracks_b; ++n)
        compare_track(a, b, n, d);
    d.changed("pq", -1, "lead-out", msf(a.lead_out), msf(b.lead_out));
}

// ---- CD-Text ----

/// "Title", "Performer", ...; "UPC/EAN" for the disc's code and "ISRC" for a track's.
std::string pack_name(int type, int track)
{
    cdtext_pack_t pack;
    pack.type = type;
    pack.track = static_cast<std::uint8_t>(track);
    return pack_type_to_str(&pack);
}

/// A fileset's CD-Text: every text by block, track and pack type, each block's character set and
/// language, and the packs that hold no text (disc ID, genre, TOC, closed information).
struct cdtext_content {
    std::map<std::tuple<int, int, int>, std::string> texts; ///< (block, track, type) to UTF-8
    std::map<std::pair<int, int>, std::string> other;       ///< (block, type) to the packs' data bytes
    cdtext_block_info_t blocks[8];
    bool block_used[8] = {};
};

cdtext_content read_cdtext(const ddp_fileset &fs)
{
    cdtext_content c;
    std::string packs = fs.cdtext;
    if (packs.empty())
        return c;
    file_ptr in(fmemopen(packs.data(), packs.size(), "rb"));
    if (!in)
        return c;
    cdtext_scan_blocks(in.get(), c.blocks);
    std::rewind(in.get());
    for (const cdtext_text &t : cdtext_texts(in.get())) {
        if (t.block < 0 || t.block > 7)
            continue;
        const bool msjis = c.blocks[t.block].charset == 0x80;
        c.texts[{t.block, t.track, t.type}] = msjis ? msjis_to_utf8(t.text) : latin1_to_utf8(t.text);
        c.block_used[t.block] = true;
    }
    std::rewind(in.get());
    cdtext_pack_t pack;
    while (cdtp_read(&pack, in.get()) == 0)
        if (pack.type >= CDTEXT_DISC_ID && pack.type <= CDTEXT_CLOSED)
            c.other[{pack.block, pack.type}].append(pack.text.begin(), pack.text.end());
    return c;
}

/// The packs without text: a genre or disc ID told apart only by their bytes.
void compare_other_packs(const cdtext_content &a, const cdtext_content &b, difference_list &d)
{
    std::map<std::pair<int, int>, bool> keys;
    for (const auto *c : {&a, &b})
        for (const auto &[key, data] : c->other)
            keys[key] = true;
    for (const auto &[key, unused] : keys) {
        const auto in_a = a.other.find(key);
        const auto in_b = b.other.find(key);
        if (in_a != a.other.end() && in_b != b.other.end() && in_a->second == in_b->second)
            continue;
        const std::string block = key.first == 0 ? "CD-Text " : "CD-Text block " + std::to_string(key.first) + " ";
        const std::string words = block + pack_name(key.second, 0) + " packs " +
                                  (in_a == a.other.end() ? "added" : in_b == b.other.end() ? "removed" : "differ");
        d.found("cdtext", -1, block + pack_name(key.second, 0), words, nullptr);
    }
}

void compare_cdtext(const ddp_fileset &fa, const ddp_fileset &fb, difference_list &d)
{
    const cdtext_content a = read_cdtext(fa);
    const cdtext_content b = read_cdtext(fb);
    for (int k = 0; k < 8; ++k) {
        if (!a.block_used[k] && !b.block_used[k])
            continue;
        const std::string block = k == 0 ? "CD-Text " : "CD-Text block " + std::to_string(k) + " ";
        const auto charset = [](const cdtext_content &c, int n) {
            return c.block_used[n] ? std::string(charset_to_str(c.blocks[n].charset)) : std::string();
        };
        const auto language = [](const cdtext_content &c, int n) {
            return c.block_used[n] ? std::string(language_to_str(c.blocks[n].language)) : std::string();
        };
        d.changed("cdtext", -1, block + "character set", charset(a, k), charset(b, k));
        d.changed("cdtext", -1, block + "language", language(a, k), language(b, k));
    }
    std::map<std::tuple<int, int, int>, bool> keys;
    for (const auto *c : {&a, &b})
        for (const auto &[key, text] : c->texts)
            keys[key] = true;
    const auto text_of = [](const cdtext_content &c, const std::tuple<int, int, int> &key) {
        const auto it = c.texts.find(key);
        return it == c.texts.end() ? std::string() : "\"" + it->second + "\"";
    };
    for (const auto &[key, unused] : keys) {
        const auto [block, track, type] = key;
        const std::string field = (block == 0 ? "CD-Text " : "CD-Text block " + std::to_string(block) + " ") +
                                  pack_name(type, track);
        d.changed("cdtext", track == 0 ? -1 : track, field, text_of(a, key), text_of(b, key));
    }
    compare_other_packs(a, b, d);
}

// ---- The audio ----

json audio_detail(const track_audio_verdict &v)
{
    static const char *const kinds[] = {"identical", "shifted", "gain", "differs"};
    json j = {{"verdict", kinds[static_cast<int>(v.what)]}};
    if (v.what == track_audio_verdict::kind::shifted)
        j["shift_samples"] = v.shift;
    if (v.what == track_audio_verdict::kind::gain)
        j["gain_db"] = std::round(v.gain_db * 100) / 100;
    if (v.what == track_audio_verdict::kind::differs) {
        j["first_difference_sample"] = v.first_difference;
        j["differing_samples"] = v.differing;
        j["samples"] = v.frames;
    }
    return j;
}

void audio_line(int track, const track_audio_verdict &v, difference_list &d)
{
    char words[160];
    switch (v.what) {
    case track_audio_verdict::kind::identical:
        return;
    case track_audio_verdict::kind::shifted:
        std::snprintf(words, sizeof words, "audio shifted by %+ld samples", v.shift);
        break;
    case track_audio_verdict::kind::gain:
        std::snprintf(words, sizeof words, "audio gain %+.2f dB", v.gain_db);
        break;
    case track_audio_verdict::kind::differs:
        std::snprintf(words, sizeof words, "audio differs from %s + %ld samples on, in %ld of %ld samples (%.4f%%)",
                      msf(v.first_difference / 588).c_str(), v.first_difference % 588, v.differing, v.frames,
                      100.0 * v.differing / v.frames);
        break;
    }
    d.found("audio", track, "audio", words, audio_detail(v));
}

void compare_audio(const std::optional<disc_audio_comparison> &c, const std::string &why, difference_list &d)
{
    if (!c) {
        d.found("audio", -1, "audio", "audio cannot be compared: " + why, nullptr);
        return;
    }
    const std::vector<int> order = audio_reordering(*c);
    if (!order.empty()) {
        std::string before;
        std::string after;
        for (std::size_t k = 1; k < order.size(); ++k) {
            before += (k > 1 ? " " : "") + two_digits(static_cast<int>(k));
            after += (k > 1 ? " " : "") + two_digits(order[k]);
        }
        d.changed("audio", -1, "track order", before, after);
    }
    for (std::size_t k = 0; k < c->tracks.size(); ++k) {
        // A moved track is told by the order; the audio before track 1 only when there is some.
        if ((!order.empty() && k > 0 && order[k] != static_cast<int>(k)) ||
            (k == 0 && !c->sound[0][0] && !c->sound[1][0]))
            continue;
        audio_line(static_cast<int>(k), c->tracks[k], d);
    }
}

// ---- The run ----

/// One fileset as compared: listed and read, then checked as --check checks it.
struct diff_side {
    const char *dir;
    fileset_source source;
    ddp_fileset fileset;
    bool listed = false;
};

/// Lists and reads the fileset; false after saying why when there is no disc to compare.
bool open_side(diff_side &s)
{
    std::string why;
    s.listed = fileset_list_path(s.dir, s.source, why);
    if (!s.listed) {
        log_err("%s: cannot be read as a fileset %s: %s\n", log_printable(s.dir).c_str(),
                fileset_is_archive(s.dir) ? "archive" : "directory", why.c_str());
        return false;
    }
    s.fileset = read_fileset(s.source);
    if (s.fileset.pq)
        return true;
    // What the check finds says why there is no disc.
    fileset_check_source(s.source, false, nullptr, false);
    log_err("%s: no disc can be read from it: nothing to compare\n", log_printable(s.dir).c_str());
    return false;
}

/// The check's errors, as one difference that counts each of them.
void add_errors(const diff_side &s, const checked_fileset &c, difference_list &d)
{
    const int errors = c.fileset.errors();
    if (errors == 0)
        return;
    json messages = json::array();
    for (const fileset_issue &i : c.fileset.issues)
        if (i.error)
            messages.push_back(utf8_is_valid(i.message) ? i.message : latin1_to_utf8(i.message));
    d.found("errors", -2, "errors", log_printable(s.dir) + ": " + fileset_verdict(c.fileset),
            json{{"fileset", s.dir}, {"errors", messages}}, errors);
}

json report_json(const char *a, const char *b, const difference_list &d, const char *status)
{
    json items = json::array();
    for (const difference &x : d.items) {
        json j = {{"kind", x.kind},
                  {"track", x.track < 0 ? json(nullptr) : json(x.track)},
                  {"field", x.field},
                  {"a", x.a.empty() ? json(nullptr) : json(x.a)},
                  {"b", x.b.empty() ? json(nullptr) : json(x.b)},
                  {"text", x.line}};
        if (!x.detail.is_null())
            j["detail"] = x.detail;
        items.push_back(j);
    }
    return {{"a", a}, {"b", b}, {"status", status}, {"count", d.count()}, {"differences", items}};
}

void print_report(const char *a, const char *b, const difference_list &d, bool json_report, const char *status)
{
    if (json_report) {
        const json doc = report_json(a, b, d, status);
        std::printf("%s\n", doc.dump(2, ' ', false, json::error_handler_t::replace).c_str());
        return;
    }
    for (const difference &x : d.items)
        std::printf("%s\n", x.line.c_str());
    const int n = d.count();
    if (n == 0)
        std::printf("filesets are identical\n");
    else
        std::printf("%d difference%s\n", n, n == 1 ? "" : "s");
}

} // namespace

int fileset_diff_run(const char *a, const char *b, bool json_report)
{
    // Only the differences reach standard output; the check's listings stay unprinted.
    log_set_verbose(json_report ? -1 : 0);
    output_lock lock_a;
    output_lock lock_b;
    // An archive takes no lock: korvel puts one in place whole.
    if ((!fileset_is_archive(a) && lock_a.acquire_shared(a) == 1) || (!fileset_is_archive(b) && lock_b.acquire_shared(b) == 1))
        return 2;
    diff_side sides[2] = {{a, {}, {}, false}, {b, {}, {}, false}};
    difference_list d;
    if (!open_side(sides[0]) || !open_side(sides[1])) {
        if (json_report)
            print_report(a, b, d, true, "unreadable");
        return 2;
    }
    std::string why;
    const std::optional<disc_audio_comparison> audio =
        audio_compare_filesets(sides[0].source, sides[0].fileset, sides[1].source, sides[1].fileset, why);
    for (int s = 0; s < 2; ++s) {
        const checked_fileset c =
            fileset_check_source(sides[s].source, false, audio ? &audio->digests[s] : nullptr, false);
        add_errors(sides[s], c, d);
    }
    compare_identity(sides[0].fileset, sides[1].fileset, d);
    compare_pq(*sides[0].fileset.pq, *sides[1].fileset.pq, d);
    compare_cdtext(sides[0].fileset, sides[1].fileset, d);
    compare_audio(audio, why, d);
    print_report(a, b, d, json_report, d.count() == 0 ? "identical" : "different");
    return d.count() == 0 ? 0 : 1;
}
