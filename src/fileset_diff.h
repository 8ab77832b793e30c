// `korvel --diff A B`: what changed between two filesets, the question an engineer
// asks of a new revision before it goes to the plant. The identity, the PQ stream,
// the CD-Text and the audio of B are set against A's, one line per difference in
// the units of the PQ listing, or one JSON document with the same content.
#pragma once

/// Compares the filesets in the directories `a` and `b` and prints the differences (text or
/// JSON), each fileset's errors first as --check prints them. The exit status as diff and cmp
/// give it: 0 the same, 1 different, 2 when either cannot be read at all.
int fileset_diff_run(const char *a, const char *b, bool json);
