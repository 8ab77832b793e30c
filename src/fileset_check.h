// Verifying a DDP fileset and reporting on it, for `korvel --check` and before
// `korvel --extract`: the fileset is read, its checksums validated, and the report
// printed as text (identity, PQ listing, CD-Text, checksums, verdict) or as one
// JSON document; warnings and errors go to standard error either way.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio_report.h"
#include "ddp_checksum.h"
#include "fileset_reader.h"

/// What an extraction put in place, for the JSON report: the audio's format and the files' names.
struct extraction_record {
    std::string format;
    std::vector<std::string> files;
};

/// A fileset read and verified: the directory's entries, the content and every issue, the checksum comparisons.
struct checked_fileset {
    fileset_source source;
    ddp_fileset fileset;
    ddpf_validation_t checksums;
    std::optional<audio_report> audio; ///< the audio measured, when asked for and readable
    std::optional<extraction_record> extracted; ///< what --extract wrote, once it has
};

/// With `on`, every check after this also measures the audio (see audio_report.h) and reports it.
void fileset_check_measure_audio(bool on);

/// Reads and verifies the fileset in `dir` and prints the whole report; with `print_end` it ends
/// with the verdict line (or the JSON document when `json` is set). Never fails: what cannot be
/// read is an error in the result. `known` holds checksums of files computed already (see
/// ddp_checksum_validate).
checked_fileset fileset_check(const char *dir, bool json, const ddp_files *known = nullptr, bool print_end = true);

/// The same for one of several filesets checked in one call: the verdict line starts with
/// `dir` and a colon, and the JSON document is one compact line whose first member,
/// "fileset", is `dir`.
checked_fileset fileset_check_in_batch(const char *dir, bool json);
/// The JSON Lines document of a fileset of a batch that was not read (another run writes it):
/// status failed, with `errors`.
void fileset_print_refused(const char *dir, const std::vector<std::string> &errors);

/// The same for a fileset whose entries are listed already (an empty `dir`: in memory).
checked_fileset fileset_check_source(fileset_source source, bool json, const ddp_files *known = nullptr,
                                     bool print_end = true);

/// The report's end: the verdict line after a blank line, or the JSON document, whose status is
/// "OK" only when neither the fileset nor the run (`run_errors`: what failed after the fileset was
/// read) has an error, "errors" when the fileset has, and "failed" when only the run has.
void fileset_print_end(const checked_fileset &c, bool json, const std::vector<std::string> &run_errors);

/// The JSON report of a run refused before the fileset `dir` was read: no fileset, one error `why`.
void fileset_print_refused(const char *dir, const std::string &why);

/// The text report's last line: "fileset OK" or "fileset has N errors", with ", M warnings" when there are any.
std::string fileset_verdict(const ddp_fileset &fs);
