// The cue sheet parser: a cue sheet's lines read into a PQ list and the record of the
// sheet, whose files (cue_files) and image (image_finish) it then has evaluated and laid out.
// Faults are fatal: one located diagnostic ("file:line: error: ...") and fatal_error,
// which ends the run with status 1.
#pragma once

#include <cstdio>

#include "cue_files.h"

/// Reads the cue sheet (path "-" reads standard input), its CD-Text file and its audio
/// data file into `cue`. Returns only when all are accepted; any fault throws fatal_error
/// after its diagnostic.
void cue_open(const char *path, cuesheet_t *cue);
/// Releases what cue_open filled.
void cue_close(cuesheet_t *cue);

// ---- The tokens of a line, shared with the tests ----

/// Reads one line into `buf` (of `size` bytes): 1 for a line, 0 at the end of the input,
/// -1 for a line too long for the buffer (the rest of it is skipped).
int smart_fgets(char *buf, int size, std::FILE *fp);
/// The next token of the line (`text`, or the cursor's place when null), or null at its end.
/// With `quoting` a token that opens with a double quote runs to the line's last double quote.
char *next_token(char *text, const char *separators, int quoting, char **cursor);
/// 1 when every character is a decimal digit (the empty text too), else 0.
int is_number(const char *text);
