// The PQ sheet: the disc's PQ listing as an HTML page that goes to the plant with
// the fileset, written under a temporary name and never over a file of the run.
// A target that is a link to a file is replaced where the link points; one that is
// not a regular file (a terminal, a device, a FIFO) is written into, never replaced.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct PQlist;

/// A file the PQ sheet must never replace, and what it is to the run ("a file this run reads").
struct pq_sheet_taboo {
    std::string path;
    const char *what;
};

/// 1, after "Error: " and a message naming both, when `path` is or would be one of the `taboos`
/// (the same file, or the same name in the same directory); else 0.
int pq_sheet_refused(const char *path, const std::vector<pq_sheet_taboo> &taboos);

/// Writes the HTML PQ sheet of `pq` to `path`, unless refused by pq_sheet_refused. A regular
/// file is renamed into place when whole; a device or FIFO is opened without waiting (a FIFO that
/// nobody reads is an error) and written. 0 written; 1 after an error was reported.
int pq_sheet_write(const PQlist &pq, const char *path, const std::vector<pq_sheet_taboo> &taboos);

/// `text` as HTML text: the characters that mark up (& < > ") as their entities.
std::string html_escape(const char *text);

/// A complete HTML page with the PQ table on `out`; returns the count of the last line written.
int pq_print_html(const PQlist &pq, std::FILE *out);
