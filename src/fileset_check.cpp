#include "fileset_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include <nlohmann/json.hpp>

#include "cdtext_reader.h"
#include "fileset_zip.h"
#include "log.h"
#include "pqlist.h"
#include "text_encoding.h"

namespace {

using json = nlohmann::ordered_json;

/// A name as JSON text: a name on disk is mostly UTF-8 already; one that is not is taken as Latin-1.
std::string name_text(const std::string &name) { return utf8_is_valid(name) ? name : latin1_to_utf8(name); }

/// A text from the fileset for the terminal: control characters escaped, valid UTF-8 as it is.
std::string printable(const std::string &text) { return log_printable(text); }

/// A message as JSON text: korvel's own words are ASCII, a name or text in it mostly UTF-8.
std::string message_text(const std::string &message)
{
    return utf8_is_valid(message) ? message : latin1_to_utf8(message);
}

std::string msf(long frames)
{
    char text[32];
    return disc_time(frames, text, sizeof text);
}

void print_issue(const fileset_issue &i)
{
    // A name on disk may hold anything, a terminal's control sequences too.
    std::string where = printable(i.file);
    if (!i.position.empty())
        where += (where.empty() ? "" : ", ") + i.position;
    if (!where.empty())
        where += ": ";
    const std::string message = printable(i.message);
    if (i.error)
        log_err("%s%s\n", where.c_str(), message.c_str());
    else
        log_warn("%s%s\n", where.c_str(), message.c_str());
}

// ---- Checksums ----

/// Runs the checksum validator on the files the reader found and turns what it found into
/// issues: checksums that differ, files it could not read (which it has reported itself), faults
/// of the checksum files, files of the map that no checksum covers, and a fileset without any
/// checksum file. A file is covered when a checksum file's line was compared with it, the very
/// file read, never a name that merely resembles it.
void validate_checksums(checked_fileset &c, const ddp_files *known)
{
    ddp_fileset &fs = c.fileset;
    ddp_checksum_validate_fileset(c.source, fs, &c.checksums, known);
    for (const ddpf_result_t &r : c.checksums.results) {
        if (r.ok)
            continue;
        if (r.problem.empty()) {
            fs.add(true, r.name, "", "its %s differs from the one in %s: the file is not what the checksum was made of",
                   r.kind.c_str(), r.checksum_file.c_str());
            print_issue(fs.issues.back());
        } else {
            // The validator has said why it could not read the file.
            fs.add(true, r.name, "", "cannot be checked against %s: %s", r.checksum_file.c_str(), r.problem.c_str());
        }
    }
    const std::size_t from = fs.issues.size();
    for (const fileset_issue &i : c.checksums.issues) {
        const auto same = [&](const fileset_issue &j) { return j.file == i.file && j.message == i.message; };
        if (std::none_of(fs.issues.begin(), fs.issues.end(), same))
            fs.issues.push_back(i);
    }
    if (c.checksums.checksum_files.empty()) {
        fs.add(false, "", "", "no checksum file: the plant cannot verify this fileset");
    } else {
        for (const ddp_file &f : fs.files) {
            const auto read = [&](const ddpf_result_t &r) { return r.file == f.name; };
            if (std::none_of(c.checksums.results.begin(), c.checksums.results.end(), read))
                fs.add(false, f.name, "", "is in no checksum file: nothing vouches for it");
        }
    }
    for (std::size_t i = from; i < fs.issues.size(); ++i)
        print_issue(fs.issues[i]);
}

/// The entries of an archive's fileset folder that are no part of the fileset (a .DS_Store, a
/// PDF of the PQ sheet): a warning each, as for what lies beside the folder. A directory may hold
/// anything beside a fileset; an archive is the delivery, so what it carries besides is said.
void note_extra_entries(checked_fileset &c)
{
    ddp_fileset &fs = c.fileset;
    if (c.source.archive.empty())
        return;
    // IMAGE.cue is the cue sheet that korvel -c adds for programs that take cue sheets.
    std::vector<std::string> used = {"DDPID", "DDPMS", "IMAGE.cue"};
    for (const ddp_file &f : fs.files)
        used.push_back(f.name);
    for (const std::string &name : c.checksums.checksum_files)
        used.push_back(name);
    for (const ddpf_result_t &r : c.checksums.results)
        used.push_back(r.file);
    for (const fileset_entry &e : c.source.entries)
        if (std::none_of(used.begin(), used.end(), [&](const std::string &u) { return fileset_find(c.source, u) == &e; })) {
            fs.add(false, e.name, "", "is not part of the DDP fileset: ignored");
            print_issue(fs.issues.back());
        }
}

// ---- The text report ----

void print_identity(const char *dir, const std::string &archive, const ddp_fileset &fs)
{
    std::printf("=== DDP FILESET ===\n");
    if (!archive.empty())
        std::printf("Archive  : %s\n", printable(archive).c_str());
    std::printf("Directory: %s\n", printable(dir).c_str());
    std::printf("Level    : %s\n", fs.level.c_str());
    std::printf("UPC/EAN  : %s\n", printable(fs.upc_ean).c_str());
    std::printf("Master ID: %s\n", printable(fs.master_id).c_str());
    std::printf("*** Files ***\n");
    for (const ddp_file &f : fs.files)
        std::printf("%-17s  %-11s  %12lld bytes\n", printable(f.name).c_str(), printable(f.stream).c_str(),
                    static_cast<long long>(f.size));
}

void print_listings(const ddp_fileset &fs, const std::optional<audio_report> &audio)
{
    // The listing's times have two digits of minutes: a disc past 89:59:74 has its error instead.
    if (fs.pq && fs.pq->lead_out <= CD_LAST_FRAME)
        pq_print(*fs.pq);
    if (audio)
        audio_report_print(*audio);
    if (fs.cdtext.empty())
        return;
    std::printf("*** CD Text ***\n");
    std::printf("CD Text file: %s\n", printable(fs.cdtext_file).c_str());
    std::string packs = fs.cdtext;
    file_ptr in(fmemopen(packs.data(), packs.size(), "rb"));
    if (!in)
        return;
    parse_cdtext(in.get());
    // The pack dump is for diagnosis.
    if (log_shown(3)) {
        std::rewind(in.get());
        cdt_dump(in.get());
    }
}

// ---- The JSON report ----

json text_or_null(const PQlist &pq, const std::optional<std::string> &text)
{
    return text ? json(pq_text_utf8(pq, *text)) : json(nullptr);
}

json disc_json(const PQlist &pq)
{
    json tracks = json::array();
    int n = 1;
    for (const PQtrack *t = pq.tracks.get(); t != nullptr; t = t->next.get(), ++n) {
        json indexes = json::array();
        for (int i = 0; i < PQ_MAX_INDEX; ++i)
            if (t->index[i] != -1)
                indexes.push_back({{"number", i}, {"frames", t->index[i]}, {"msf", msf(t->index[i])}});
        const long length = pq_track_length(pq, n, 0);
        tracks.push_back({{"number", n},
                          {"indexes", indexes},
                          {"length", {{"frames", length}, {"msf", msf(length)}}},
                          {"isrc", latin1_to_utf8(t->isrc.data())},
                          {"flags",
                           {{"pre", (t->flags & PQ_FLAG_PRE) != 0},
                            {"dcp", (t->flags & PQ_FLAG_DCP) != 0},
                            {"4ch", (t->flags & PQ_FLAG_4CH) != 0},
                            {"scms", (t->flags & PQ_FLAG_SCMS) != 0}}},
                          {"title", text_or_null(pq, t->title)},
                          {"performer", text_or_null(pq, t->performer)},
                          {"songwriter", text_or_null(pq, t->songwriter)}});
    }
    return {{"upc_ean", latin1_to_utf8(pq.upc_ean.data())},
            {"lead_out", {{"frames", pq.lead_out}, {"msf", msf(pq.lead_out)}}},
            {"title", text_or_null(pq, pq.title)},
            {"performer", text_or_null(pq, pq.performer)},
            {"songwriter", text_or_null(pq, pq.songwriter)},
            {"tracks", tracks}};
}

json report_json(const char *dir, const checked_fileset &c, const std::vector<std::string> &run_errors)
{
    const ddp_fileset &fs = c.fileset;
    json files = json::array();
    for (const ddp_file &f : fs.files)
        files.push_back({{"name", name_text(f.name)}, {"stream", latin1_to_utf8(f.stream)}, {"size", f.size}});
    json results = json::array();
    for (const ddpf_result_t &r : c.checksums.results)
        results.push_back({{"checksum_file", name_text(r.checksum_file)},
                           {"file", name_text(r.name)},
                           {"kind", r.kind},
                           {"expected", r.expected},
                           {"computed", r.computed},
                           {"result", r.ok ? "OK" : r.problem.empty() ? "FAILED" : "unreadable"},
                           {"problem", r.problem}});
    json checksum_files = json::array();
    for (const std::string &name : c.checksums.checksum_files)
        checksum_files.push_back(name_text(name));
    json errors = json::array();
    json warnings = json::array();
    for (const fileset_issue &i : fs.issues)
        (i.error ? errors : warnings)
            .push_back({{"file", name_text(i.file)}, {"position", i.position}, {"message", message_text(i.message)}});
    // What failed after the fileset was read (the extraction, the PQ sheet) fails the run as well.
    for (const std::string &e : run_errors)
        errors.push_back({{"file", ""}, {"position", ""}, {"message", message_text(e)}});
    const char *status = fs.errors() > 0 ? "errors" : run_errors.empty() ? "OK" : "failed";
    json document = {{"directory", name_text(dir)},
            {"status", status},
            {"identity",
             {{"level", fs.level}, {"upc_ean", latin1_to_utf8(fs.upc_ean)}, {"master_id", latin1_to_utf8(fs.master_id)}}},
            {"files", files},
            {"disc", fs.pq ? disc_json(*fs.pq) : json(nullptr)},
            {"cdtext", fs.cdtext.empty() ? json(nullptr)
                                         : json{{"file", name_text(fs.cdtext_file)}, {"in_disc", fs.cdtext_in_pq}}},
            {"checksums", {{"files", checksum_files}, {"results", results}}},
            {"errors", errors},
            {"warnings", warnings}};
    // Only a check that measured the audio reports it: the document of a plain check stays as it was.
    if (c.audio)
        document["audio"] = audio_report_json(*c.audio);
    if (c.extracted)
        document["extracted"] = {{"format", c.extracted->format}, {"files", c.extracted->files}};
    // A fileset read from an archive names it; "directory" is then the folder inside it.
    if (!c.source.archive.empty())
        document["archive"] = name_text(c.source.archive);
    return document;
}

/// Whether checks measure the audio too.
bool measure_audio = false;

/// Measures the audio of a fileset that has a disc, and adds (and prints) what the engineer should hear about.
void check_audio(checked_fileset &c)
{
    ddp_fileset &fs = c.fileset;
    if (!measure_audio || !fs.pq)
        return;
    std::string why;
    c.audio = audio_measure_fileset(c.source, fs, why);
    const std::size_t from = fs.issues.size();
    if (c.audio)
        audio_report_warnings(*c.audio, fs);
    else
        fs.add(true, "", "", "the audio cannot be measured: %s", why.c_str());
    for (std::size_t i = from; i < fs.issues.size(); ++i)
        print_issue(fs.issues[i]);
}

/// The name of the fileset being checked when it is one of several in one call, else null.
const char *batch_name = nullptr;

} // namespace

std::string fileset_verdict(const ddp_fileset &fs)
{
    const int errors = fs.errors();
    const int warnings = fs.warnings();
    std::string text = errors == 0 ? "fileset OK"
                                   : "fileset has " + std::to_string(errors) + (errors == 1 ? " error" : " errors");
    if (warnings > 0)
        text += ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    return text;
}

void fileset_print_refused(const char *dir, const std::string &why)
{
    checked_fileset none;
    none.source.dir = dir;
    fileset_print_end(none, true, {why});
}

void fileset_print_end(const checked_fileset &c, bool json_report, const std::vector<std::string> &run_errors)
{
    const char *dir = c.source.dir.empty() ? "(memory)" : c.source.dir.c_str();
    if (json_report) {
        // One of several filesets is one compact line (JSON Lines) whose first member names it.
        json document = batch_name != nullptr ? json{{"fileset", name_text(batch_name)}} : json::object();
        document.update(report_json(dir, c, run_errors));
        // Bytes that are no UTF-8 (a file name of another system) are replaced, never thrown on.
        const int indent = batch_name != nullptr ? -1 : 2;
        std::printf("%s\n", document.dump(indent, ' ', false, json::error_handler_t::replace).c_str());
        return;
    }
    if (log_shown(1))
        std::printf("\n");
    if (batch_name != nullptr)
        std::printf("%s: ", printable(batch_name).c_str());
    std::printf("%s\n", fileset_verdict(c.fileset).c_str());
}

checked_fileset fileset_check(const char *dir, bool json_report, const ddp_files *known, bool print_end)
{
    fileset_source source;
    std::string why;
    if (fileset_list_path(dir, source, why))
        return fileset_check_source(std::move(source), json_report, known, print_end);
    if (json_report)
        log_set_verbose(-1);
    checked_fileset c;
    c.source.dir = dir;
    const bool archive = fileset_is_archive(dir);
    if (archive)
        c.source.archive = dir;
    c.fileset.add(true, dir, "", "cannot be read as a fileset %s: %s", archive ? "archive" : "directory", why.c_str());
    print_issue(c.fileset.issues.back());
    if (print_end)
        fileset_print_end(c, json_report, {});
    return c;
}

checked_fileset fileset_check_source(fileset_source source, bool json_report, const ddp_files *known, bool print_end)
{
    // The JSON document is all that standard output carries.
    if (json_report)
        log_set_verbose(-1);
    checked_fileset c;
    c.source = std::move(source);
    ddp_fileset &fs = c.fileset;
    fs = read_fileset(c.source);
    const std::vector<fileset_issue> notes = fileset_zip_notes(c.source);
    fs.issues.insert(fs.issues.begin(), notes.begin(), notes.end());
    for (const fileset_issue &i : fs.issues)
        print_issue(i);
    const char *dir = c.source.dir.empty() ? "(memory)" : c.source.dir.c_str();
    check_audio(c);
    if (log_shown(1)) {
        print_identity(dir, c.source.archive, fs);
        print_listings(fs, c.audio);
        std::printf("*** Checksums ***\n");
    }
    validate_checksums(c, known);
    note_extra_entries(c);
    // Entries of an archive that did not read back as the archive gives them.
    for (const fileset_issue &i : fileset_zip_damage(c.source)) {
        fs.issues.push_back(i);
        print_issue(i);
    }
    if (print_end)
        fileset_print_end(c, json_report, {});
    return c;
}

void fileset_check_measure_audio(bool on) { measure_audio = on; }

void fileset_print_refused(const char *dir, const std::vector<std::string> &errors)
{
    batch_name = dir;
    checked_fileset none;
    none.source.dir = dir;
    fileset_print_end(none, true, errors);
    batch_name = nullptr;
}

checked_fileset fileset_check_in_batch(const char *dir, bool json_report)
{
    batch_name = dir;
    checked_fileset c = fileset_check(dir, json_report);
    batch_name = nullptr;
    return c;
}
