// The proof page: one self-contained HTML page, index.html beside the files that
// --extract --proof writes, that a client opens in any browser to hear the disc
// without a DDP player. It shows the disc's identity and PQ listing and has a
// player per track; a small inline script puts the length the browser measured
// beside each track's PQ length, so a client sees at once that every track plays
// and is as long as the plant will press it. Nothing is fetched from a network.
#pragma once

#include <cstdio>
#include <string>

struct PQlist;

/// The page's name in the extraction's directory.
inline constexpr const char proof_page_name[] = "index.html";

/// Writes the page of the disc `pq` (texts in UTF-8, see pq_utf8_copy) with the master identifier
/// `master_id` (UTF-8) to `out`; each track plays the file "NN.<extension>" beside the page. The
/// count of the last write, negative when it failed.
int proof_page_print(const PQlist &pq, const std::string &master_id, const char *extension, std::FILE *out);
