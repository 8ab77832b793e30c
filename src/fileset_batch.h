// Checking several DDP filesets in one call, as a plant does with a day's deliveries
// or a studio with an album's masters: each fileset's report in the order given, then
// a tally line; as JSON, one compact document per fileset (JSON Lines) and no tally.
#pragma once

#include <vector>

/// Checks every fileset of `dirs` in turn and prints its report (its verdict line and its
/// JSON document name it), then, as text, "N filesets: K OK, M with errors".
/// 1 when any fileset has an error, else 0.
int fileset_check_batch(const std::vector<const char *> &dirs, bool json);
