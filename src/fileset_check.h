// Verifying a DDP fileset and reporting on it, for `korvel --check` and before
// `korvel --extract`: the fileset is read, its checksums validated, and the report
// printed as text (identity, PQ listing, CD-Text, checksums, verdict) or as one
// JSON document; warnings and errors go to standard error either way.
#pragma once

#include <string>
#include <vector>

#include "ddp_checksum.h"
#include "fileset_reader.h"

/// A fileset read and verified: the directory's entries, the content and every issue, the checksum comparisons.
struct checked_fileset {
    fileset_source source;
    ddp_fileset fileset;
    ddpf_validation_t checksums;
};

/// Reads and verifies the fileset in `dir` and prints the whole report; with `print_end` it ends
/// with the verdict line (or the JSON document when `json` is set). Never fails: what cannot be
/// read is an error in the result.
checked_fileset fileset_check(const char *dir, bool json, bool print_end = true);

/// The same for a fileset whose entries are listed already (an empty `dir`: in memory).
checked_fileset fileset_check_source(fileset_source source, bool json, bool print_end = true);

/// The report's end: the verdict line after a blank line, or the JSON document, whose status is
/// "OK" only when neither the fileset nor the run (`run_errors`: what failed after the fileset was
/// read) has an error, "errors" when the fileset has, and "failed" when only the run has.
void fileset_print_end(const checked_fileset &c, bool json, const std::vector<std::string> &run_errors);

/// The text report's last line: "fileset OK" or "fileset has N errors", with ", M warnings" when there are any.
std::string fileset_verdict(const ddp_fileset &fs);
