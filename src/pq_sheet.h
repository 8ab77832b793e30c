// The PQ sheet: the disc's PQ listing as an HTML page that goes to the plant with
// the fileset, written under a temporary name and never over a file the run reads.
#pragma once

#include <string>
#include <vector>

struct PQlist;

/// Writes the HTML PQ sheet of `pq` to `path`, renamed into place when whole; refuses a path
/// that is one of the run's `inputs`. 0 written; 1 after an error was reported (nothing written).
int pq_sheet_write(const PQlist &pq, const char *path, const std::vector<std::string> &inputs);
