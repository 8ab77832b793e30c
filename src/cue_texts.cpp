#include "cue_texts.h"

#include <algorithm>
#include <cstdio>

#include "cdtext.h"
#include "cdtext_msjis.h"
#include "cue_files.h"
#include "log.h"
#include "text_encoding.h"

namespace {

/// Each UTF-8 character of the text once, in the order met, separated by blanks.
std::string distinct_characters(const std::string &text)
{
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = 1;
        while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
            ++n;
        std::string character = text.substr(i, n);
        if (std::find(seen.begin(), seen.end(), character) == seen.end())
            seen.push_back(std::move(character));
        i += n;
    }
    std::string list;
    for (const auto &character : seen)
        list += (list.empty() ? "" : " ") + character;
    return list;
}

} // namespace

/// A text of the sheet in ISO 8859-1, the character set CD-Text declares, once for CD-Text,
/// IMAGE.cue and the listings alike. The text is kept as it is too: Japanese texts go into
/// MS-JIS instead, once the whole sheet shows them all to be Japanese.
std::string cue_texts::latin1(const char *command, const std::string &where, int line, const char *value,
                              std::optional<std::string> *slot)
{
    texts_.push_back({slot, value});
    const latin1_text converted = to_latin1(value, text_encoding::utf8);
    char message[1024];
    if (converted.folded) {
        std::snprintf(message, sizeof message, "%s %s has typographic marks that ISO 8859-1 lacks, written as \"%s\"",
                      command, where.c_str(), latin1_to_utf8(converted.text).c_str());
        folded_.emplace_back(line, message);
    }
    if (!converted.unrepresentable.empty()) {
        std::snprintf(message, sizeof message, "%s %s has characters that CD-Text in ISO 8859-1 cannot hold: \"%s\" (%s)",
                      command, where.c_str(), value, distinct_characters(converted.unrepresentable).c_str());
        unholdable_.emplace_back(line, message);
    }
    return without_tabs(command, where.c_str(), line, converted.text);
}

/// CD-Text holds a TAB only as its mark for "the same as the previous track" (a text of one TAB),
/// which korvel never writes: a TAB in a text of the sheet becomes a space, with a warning.
std::string cue_texts::without_tabs(const char *command, const char *where, int line, std::string text)
{
    if (text.find('\t') == std::string::npos)
        return text;
    std::replace(text.begin(), text.end(), '\t', ' ');
    cue_warn(path_, line,
             "%s %s holds a TAB, written as a space: CD-Text keeps the TAB to mark a text as the previous track's",
             command, where);
    return text;
}

/// Japanese texts go into MS-JIS CD-Text: when CD-Text will be made from the texts, some are
/// not ISO 8859-1, and all are Japanese texts that MS-JIS holds.
bool cue_texts::texts_go_into_msjis(PQlist &pq, bool from_texts)
{
    if (unholdable_.empty() || !from_texts)
        return false;
    std::vector<std::string> texts;
    for (const sheet_text &text : texts_)
        texts.push_back(text.utf8);
    if (!msjis_suits(texts))
        return false;
    for (const sheet_text &text : texts_)
        *text.slot = msjis_from_utf8(text.utf8);
    pq.text_charset = CDTEXT_CHARSET_MSJIS;
    log_msg(1, "CD text: the texts are Japanese: they are written in MS-JIS, with the language code for Japanese\n");
    return true;
}

/// What became of the texts: typographic marks folded, and characters that CD-Text cannot
/// hold, errors when CD-Text is to be made from them, else warnings.
void cue_texts::report_texts(PQlist &pq, bool from_texts)
{
    if (texts_go_into_msjis(pq, from_texts))
        return;
    for (const auto &[line, message] : folded_)
        log_located("warning", tolk_basename(path_), line, "%s", message.c_str());
    for (const auto &[line, message] : unholdable_) {
        if (from_texts)
            log_located("error", path_, line, "%s", message.c_str());
        else
            log_located("warning", tolk_basename(path_), line, "%s; shown as \"?\"", message.c_str());
    }
    if (from_texts && !unholdable_.empty())
        throw fatal_error(1);
}
