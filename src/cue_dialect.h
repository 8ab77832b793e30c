// The forms real cue sheets take beyond the grammar korvel writes, each turned
// into what the sheet means: commands in any case, a catalog number printed as
// under a barcode, an unquoted file name with blanks, a Windows path into a
// sub-folder, tracks numbered from another number than 01. Pure functions on
// the sheet's text; the parser reports what they changed.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// True when `word` is `keyword` in any case; `other_case` is set when it was not written in capitals.
bool cue_word_is(const char *word, const char *keyword, bool *other_case);

/// A catalog number as the sheet writes it, read as the 13 digits of an EAN-13.
struct cue_catalog {
    std::string digits;  ///< the number without blanks, hyphens and quotes; a proven UPC-A with a leading 0
    std::string changes; ///< what was changed ("blanks removed", ...), empty when nothing was
};
/// Blanks come out of a number printed in groups as under a barcode; a 12-digit UPC-A whose
/// check digit proves it gets the leading 0 that makes it the same EAN-13.
cue_catalog cue_catalog_number(std::string_view text);

/// The operands of a FILE line whose name is not quoted: the name runs to the last word,
/// which is the file type. False when the line has fewer than two words.
bool cue_split_unquoted_file(std::string_view rest, std::string &name, std::string &type);

/// The names under which a Windows path of the sheet ("Album\01 - Song.wav") may be found
/// here, in order: a relative path with its backslashes as slashes, then its last component.
/// Empty for a name that is no Windows path.
std::vector<std::string> cue_windows_path_candidates(const std::string &name);

/// "TRACK 04 -> 01, TRACK 05 -> 02" for the tracks whose sheet number (as written) is not
/// their place on the disc; `tracks` holds each track's number as written, in order.
std::string cue_track_renumbering(const std::vector<std::string> &tracks);
