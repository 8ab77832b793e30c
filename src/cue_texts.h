// The texts of a cue sheet (TITLE, PERFORMER, SONGWRITER) on their way into CD-Text: each
// in ISO 8859-1 as it is read, with what that changed or could not hold noted by line; once
// the whole sheet is read, either all of them in MS-JIS (Japanese texts for CD-Text made
// from them) or the notes reported, as errors when CD-Text is to be made from them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pqlist.h"

class cue_texts {
public:
    /// `path` is the cue sheet, as its messages name it.
    explicit cue_texts(const char *path) : path_(path) {}

    /// A text of the sheet in ISO 8859-1, the character set CD-Text declares, once for CD-Text,
    /// IMAGE.cue and the listings alike. `where` says whose it is ("of track 02"), `line` where
    /// the sheet has it, `slot` where it goes, for a change of mind to MS-JIS.
    std::string latin1(const char *command, const std::string &where, int line, const char *value,
                       std::optional<std::string> *slot);
    /// What became of the texts, once the sheet is read. `from_texts`: CD-Text is to be made from
    /// them. Throws fatal_error when it is and they have characters it cannot hold.
    void report_texts(PQlist &pq, bool from_texts);

private:
    bool texts_go_into_msjis(PQlist &pq, bool from_texts);
    std::string without_tabs(const char *command, const char *where, int line, std::string text);

    const char *path_;
    /// A text of the sheet, kept in UTF-8 until it is known which character set CD-Text
    /// will have, and where it goes.
    struct sheet_text {
        std::optional<std::string> *slot;
        std::string utf8;
    };
    std::vector<sheet_text> texts_;
    /// Messages about texts, reported once the sheet is read and the character set is known:
    /// typographic marks folded (for ISO 8859-1) and characters ISO 8859-1 cannot hold.
    std::vector<std::pair<int, std::string>> folded_;
    std::vector<std::pair<int, std::string>> unholdable_;
};
