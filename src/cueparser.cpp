#include "cueparser.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cdtext_msjis.h"
#include "cdtext_pack.h"
#include "cdtext_reader.h"
#include "cue_charset.h"
#include "cue_dialect.h"
#include "log.h"
#include "text_encoding.h"

namespace {

/// A cue sheet line holds at most 254 characters before its line feed.
constexpr int line_buffer_size = 256;
constexpr const char *separators = "\n\r\t ";
/// 150 frames of 2352 bytes: the silence the parser puts before track 1.
constexpr long first_pregap_bytes = CD_FIRST_PREGAP_FRAMES * CD_FRAME_BYTES;
/// The most a binary CD-Text file can hold: 8 blocks of 256 packs of 18 bytes.
constexpr long cdtext_file_max_bytes = 8L * CDTEXT_MAX_PACKS * CDTEXT_PACK_SIZE;
/// Audio is 16-bit stereo: a sample frame is 4 bytes.
constexpr long sample_frame_bytes = 4;
/// A cue sheet of 99 tracks with every index, text and comment is some tens of kilobytes:
/// anything this large is not one (a device such as /dev/zero would never end).
constexpr std::size_t cue_sheet_max_bytes = 4 * 1024 * 1024;

/// Opens a file that the cue sheet names, which korvel measures, seeks in and reads
/// more than once: only a regular file will do. The name comes from the cue sheet, so
/// it is checked before the open: a FIFO would block the open itself, and a device such
/// as /dev/zero never ends and keeps its position at 0 (errno ESPIPE for both).
file_ptr open_named_file(const char *path)
{
    struct stat st;
    if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        errno = ESPIPE;
        return nullptr;
    }
    return open_input(path);
}

/// A number from a cue sheet, clamped to int so that a long digit string cannot overflow.
int number_value(const char *text)
{
    errno = 0;
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

/// 1 for a code of zeros only, as rippers write for a disc or track without one.
bool is_zeros(const char *text)
{
    return text[0] != '\0' && text[std::strspn(text, "0")] == '\0';
}

/// A well-formed time ("m:s:f", one to three digits each, seconds below 60 and frames
/// below 75) whose minutes lie past the 89 a disc can address.
bool is_time_past_disc_end(const char *text)
{
    int values[3] = {};
    const char *p = text;
    for (int field = 0; field < 3; ++field) {
        const std::size_t digits = std::strspn(p, "0123456789");
        if (digits == 0 || digits > 3 || p[digits] != (field < 2 ? ':' : '\0'))
            return false;
        values[field] = std::atoi(p);
        p += digits + (field < 2 ? 1 : 0);
    }
    return values[0] > 89 && values[1] < 60 && values[2] < 75;
}

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

/// The highest index position of the last track.
long last_index_position(const PQlist &pq)
{
    const PQtrack *last = pq.tracks.get();
    while (last->next)
        last = last->next.get();
    long position = -1;
    for (long p : last->index)
        if (p != -1)
            position = p;
    return position;
}

/// A name from the cue sheet resolved against the cue sheet's directory.
std::string resolve(const std::string &cuefile, const char *name)
{
    if (tolk_path_is_abs(name))
        return name;
    const std::string dir = tolk_path_get_dir(cuefile.c_str());
    return tolk_path_join(dir.c_str(), name).value_or(name);
}

// ---- The parser ----

class parser {
public:
    parser(cuesheet_t *cue, const char *path, std::string charset) : cue_(cue), path_(path), charset_(std::move(charset))
    {
    }

    void read_lines(std::FILE *fp);
    void finish();

private:
    [[noreturn]] void error(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void warning(const char *format, ...) __attribute__((format(printf, 2, 3)));
    char *token(int quoting = 0) { return next_token(nullptr, separators, quoting, &cursor_); }
    bool in_track_section() const { return track_number_ > 0; }
    /// The word is the keyword in any case; the first one not in capitals gets one warning.
    bool is(const char *word, const char *keyword);
    /// The current track as messages name it: "04 (disc track 01)" where the sheet numbers it otherwise.
    const char *label() const { return label_.c_str(); }
    /// The same without leading zeros, for the messages that have none.
    const char *plain_label() const { return plain_label_.c_str(); }

    void command(const char *word);
    void catalog();
    void cdtextfile();
    void file();
    void track();
    void isrc();
    void flags();
    void index();
    void gap(const char *command);
    void text(const char *command, std::optional<std::string> PQlist::*disc, std::optional<std::string> PQtrack::*track,
              const char *disc_message, const char *track_message);
    std::string latin1(const char *command, const char *value, std::optional<std::string> *slot);
    char *rest_of_line();
    void first_index_after_start(const char *time);
    bool texts_go_into_msjis();
    void report_texts();
    std::string without_tabs(const char *command, const char *where, std::string text);
    void place_audio();
    void lead_into_first_track();
    void finish_image();
    char *code();
    std::string locate(const std::string &name) const;

    cuesheet_t *cue_;
    const char *path_;
    /// The code page the sheet was read in, empty for UTF-8: file names may be in it.
    std::string charset_;
    bool other_case_warned_ = false;
    std::string label_;
    std::string plain_label_;
    /// Each track's number as the sheet writes it.
    std::vector<std::string> track_numbers_;
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
    std::array<char, line_buffer_size> line_{};
    char *cursor_ = nullptr;
    int line_number_ = 0;
    int track_number_ = 0;
    PQtrack *track_ = nullptr;
    int last_index_ = -1;
    /// The last index time in the current file; -1 before the sheet's first index, -2 before
    /// the first index in a later file.
    long last_position_ = -1;
    std::optional<std::string> cdtext_name_;

    /// A FILE command: the name as the sheet gives it and the kind.
    struct file_command {
        std::string name;
        int filetype;
    };
    std::vector<file_command> files_;
    /// An index point: frames into a file until the files are measured.
    struct index_point {
        PQtrack *track;
        int index;
        int file;
        long frames;
    };
    std::vector<index_point> points_;
    /// Each track's PREGAP and POSTGAP in frames, -1 for none.
    std::vector<std::pair<long, long>> gaps_;
};

void parser::error(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("error", path_, line_number_, format, ap);
    va_end(ap);
    throw fatal_error(1);
}

void parser::warning(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("warning", tolk_basename(path_), line_number_, format, ap);
    va_end(ap);
}

void parser::read_lines(std::FILE *fp)
{
    for (;;) {
        const int got = smart_fgets(line_.data(), static_cast<int>(line_.size()), fp);
        if (got == 0)
            return;
        ++line_number_;
        const char *word = next_token(line_.data(), separators, 0, &cursor_);
        // A long comment is no reason to refuse a sheet; any other line cut short would be.
        if (got < 0 && word != nullptr && is(word, "REM")) {
            warning("REM line is longer than %d characters, skipped", line_buffer_size - 2);
            continue;
        }
        if (got < 0)
            error("line is too long, maximum is %d characters", line_buffer_size - 2);
        if (word == nullptr || is(word, "REM"))
            continue;
        command(word);
    }
}

bool parser::is(const char *word, const char *keyword)
{
    bool other_case = false;
    if (!cue_word_is(word, keyword, &other_case))
        return false;
    if (other_case && !other_case_warned_) {
        other_case_warned_ = true;
        warning("'%s' is not written in capitals: commands and their words are read in any case", word);
    }
    return true;
}

void parser::command(const char *word)
{
    if (is(word, "CATALOG"))
        catalog();
    else if (is(word, "CDTEXTFILE"))
        cdtextfile();
    else if (is(word, "FILE"))
        file();
    else if (is(word, "TRACK"))
        track();
    else if (is(word, "ISRC"))
        isrc();
    else if (is(word, "FLAGS"))
        flags();
    else if (is(word, "INDEX"))
        index();
    else if (is(word, "TITLE"))
        text("TITLE", &PQlist::title, &PQtrack::title, "multiple 'TITLE' commands in global section",
             "multiple 'TITLE' commands for track %s");
    else if (is(word, "PERFORMER"))
        text("PERFORMER", &PQlist::performer, &PQtrack::performer, "multiple 'PERFORMER' commands in global section",
             "multiple 'PERFORMER' commands for track %s");
    else if (is(word, "SONGWRITER"))
        text("SONGWRITER", &PQlist::songwriter, &PQtrack::songwriter,
             "Multiple 'SONGWRITER' commands in global section", "Multiple 'SONGWRITER' commands for track %s");
    else if (is(word, "PREGAP"))
        gap("PREGAP");
    else if (is(word, "POSTGAP"))
        gap("POSTGAP");
    else
        warning("command ignored: '%s'", word);
}

/// The rest of the line without the blanks and line end around it; the cursor moves to its end.
char *parser::rest_of_line()
{
    char *rest = cursor_ + std::strspn(cursor_, separators);
    char *end = rest + std::strlen(rest);
    while (end > rest && std::strchr(separators, end[-1]) != nullptr)
        --end;
    *end = '\0';
    cursor_ = end;
    return rest;
}

void parser::catalog()
{
    if (in_track_section())
        error("CATALOG command in TRACK section");
    PQlist &pq = *cue_->pq;
    if (pq.upc_ean[0] != '\0')
        error("multiple CATALOG commands found");
    char *written = rest_of_line();
    if (*written == '\0')
        error("no number found after CATALOG");
    const cue_catalog catalog = cue_catalog_number(written);
    if (!catalog.changes.empty())
        warning("catalog number %s read as %s (%s)", written, catalog.digits.c_str(), catalog.changes.c_str());
    const char *number = catalog.digits.c_str();
    // Rippers write zeros for a disc that has no catalog number.
    if (is_zeros(number)) {
        warning("catalog number %s is all zeros, no catalog number is written", number);
        return;
    }
    // A catalog number is digits only: a letter would reach SD and DDPID as it is.
    if (!is_number(number))
        error("malformed catalog number: %s, should be exactly 13 digits", number);
    const int valid = ean13_validate(number, nullptr);
    if (valid == 2)
        error("malformed catalog number: %s, should be exactly 13 digits", number);
    if (valid == 1)
        warning("catalog number's check digit is wrong: %s", number);
    tolk_strcpy(pq.upc_ean.data(), number, pq.upc_ean.size());
}

void parser::cdtextfile()
{
    if (in_track_section())
        error("found CDTEXTFILE command in track section");
    if (cdtext_name_)
        error("multiple CDTEXTFILE commands found");
    const char *name = token(1);
    if (name == nullptr || *name == '\0')
        error("missing filename after CDTEXTFILE command");
    cdtext_name_ = name;
}

void parser::file()
{
    // Several files are joined in order; a new one may begin between a track's indexes,
    // where a ripper wrote one file per track with each pause at the end of the file before.
    std::string file_name;
    std::string type;
    // An unquoted name with blanks in it runs to the last word, which is the file type.
    if (char *rest = cursor_ + std::strspn(cursor_, separators); *rest != '"' &&
        cue_split_unquoted_file(rest, file_name, type) && file_name.find_first_of(" \t") != std::string::npos) {
        warning("unquoted file name with blanks, read as \"%s\"", file_name.c_str());
    } else {
        const char *name = token(1);
        if (name == nullptr || *name == '\0')
            error("missing filename after FILE command");
        file_name = name;
        const char *word = token();
        if (word == nullptr)
            error("missing file type after FILE command");
        type = word;
    }
    int filetype = 0;
    if (is(type.c_str(), "BINARY"))
        filetype = CUE_FILETYPE_BINARY;
    else if (is(type.c_str(), "WAVE") || is(type.c_str(), "FLAC")) // the file's content tells which
        filetype = CUE_FILETYPE_WAVE;
    else if (is(type.c_str(), "MOTOROLA"))
        filetype = CUE_FILETYPE_MOTOROLA;
    else
        error("file type not supported: %s", type.c_str());
    files_.push_back({file_name, filetype});
    // Times count from the start of each file.
    if (last_position_ != -1)
        last_position_ = -2;
}

void parser::track()
{
    if (files_.empty())
        error("missing FILE command before first TRACK command");
    const char *number = token();
    if (number == nullptr)
        error("missing track number");
    if (!is_number(number))
        warning("malformed track number: %s", number);
    const int value = number_value(number);
    if (value < 1 || value > 99)
        warning("track number out of range: %s", number);
    const std::string written = number;
    const char *type = token();
    if (type == nullptr)
        error("missing track type");
    if (!is(type, "AUDIO"))
        error("unsupported track type: %s", type);
    if (track_ != nullptr && track_->index[1] == -1)
        error("missing INDEX 01 in track %s", label());
    ++track_number_;
    last_index_ = -1;
    if (track_number_ > 99)
        error("more than 99 tracks found");
    track_ = new_track(*cue_->pq);
    gaps_.emplace_back(-1, -1);
    // Tracks are numbered by their place on the disc; messages give the sheet's number too.
    track_numbers_.push_back(written);
    if (is_number(number) && value >= 1 && value <= 99 && value != track_number_)
        track_->sheet_number = value;
    label_ = pq_track_label(*cue_->pq, track_number_);
    plain_label_ = pq_track_label(*cue_->pq, track_number_, false);
}

void parser::isrc()
{
    if (!in_track_section())
        error("ISRC command before first TRACK command");
    if (track_->isrc[0] != '\0')
        error("multiple ISRC commands found in track %s", label());
    const char *isrc = code();
    if (isrc == nullptr)
        error("missing argument for ISRC command in track %s", label());
    if (is_zeros(isrc)) {
        warning("ISRC of track %s is all zeros, no ISRC is written", label());
        return;
    }
    if (!isrc_is_valid(isrc))
        error("malformed ISRC code in track %s: %s", label(), isrc);
    tolk_strcpy(track_->isrc.data(), isrc, track_->isrc.size());
}

/// The code after ISRC, without the quotes and hyphens people write around
/// and between its parts ("USSM1-23-45678"), or null when there is none.
char *parser::code()
{
    char *text = token(1);
    if (text != nullptr)
        *std::remove(text, text + std::strlen(text), '-') = '\0';
    return text;
}

void parser::flags()
{
    if (!in_track_section())
        error("FLAGS command before first TRACK command");
    // The flags belong to the whole track wherever the sheet puts them (flacon writes them
    // after the indexes).
    if (last_index_ != -1)
        warning("FLAGS command after INDEX command in track %s: the flags are the whole track's", plain_label());
    for (const char *word = token(); word != nullptr; word = token()) {
        if (is(word, "PRE"))
            track_->flags |= PQ_FLAG_PRE;
        else if (is(word, "DCP"))
            track_->flags |= PQ_FLAG_DCP;
        else if (is(word, "4CH"))
            track_->flags |= PQ_FLAG_4CH;
        else if (is(word, "SCMS"))
            track_->flags |= PQ_FLAG_SCMS;
        else
            warning("unknown flag in track %s: %s", label(), word);
    }
    // Copying permitted and copy management contradict each other.
    if ((track_->flags & PQ_FLAG_DCP) && (track_->flags & PQ_FLAG_SCMS))
        error("cannot have flag DCP and SCMS specified for the same track (%s)", plain_label());
}

void parser::index()
{
    if (!in_track_section())
        error("INDEX command before first TRACK command");
    const char *number = token();
    if (number == nullptr)
        error("no number found after INDEX command in track %s", label());
    if (!is_number(number))
        error("malformed index number in track %s: %s\n", label(), number);
    const int n = number_value(number);
    if (last_index_ == -1) {
        if (n > 1)
            error("first index should not be %02d in track %s, but 0 or 1", n, label());
    } else if (n != last_index_ + 1) {
        error("index out of sequence, found %02d, expected %02d", n, last_index_ + 1);
    }
    // A track has index points 00 to 99 and no more.
    if (n >= PQ_MAX_INDEX)
        error("index %02d in track %s is out of range, the last index is 99", n, label());
    if (n == 0 && gaps_.back().first >= 0)
        error("PREGAP and INDEX 00 both give track %s a pregap", label());
    if (gaps_.back().second >= 0)
        error("INDEX command after POSTGAP in track %s", label());
    last_index_ = n;
    const char *time = token();
    if (time == nullptr)
        error("no time given for index %02d in track %s", n, label());
    const long position = str2frames(time);
    if (position < 0 && is_time_past_disc_end(time))
        error("time for index %02d in track %s is %s, past 89:59:74, the last position a CD can address", n, label(),
              time);
    if (position < 0)
        error("malformed time for index %02d in track %s: %s, should be formatted as mm:ss:ff", n, label(), time);
    if (last_position_ == -1) {
        if (position > 0 && (n == 0 || gaps_.back().first >= 0))
            error("first index in first track must be at 00:00:00, found %s", time);
        if (position > 0)
            first_index_after_start(time);
    } else if (last_position_ >= 0 && position <= last_position_) {
        char previous[9];
        error("index at %s should be later than pervious index  at %s", time, frames2str(last_position_, previous));
    }
    // A time in the file until the files are measured and joined.
    track_->index[n] = position;
    points_.push_back({track_, n, static_cast<int>(files_.size()) - 1, position});
    last_position_ = position;
}

void parser::gap(const char *command)
{
    if (!in_track_section())
        error("%s command before first TRACK command", command);
    const char *time = token();
    if (time == nullptr)
        error("no time given for %s in track %s", command, label());
    const long frames = str2frames(time);
    if (frames < 0)
        error("malformed time for %s in track %s: %s, should be formatted as mm:ss:ff", command, label(), time);
    auto &[pregap, postgap] = gaps_.back();
    const bool pre = std::strcmp(command, "PREGAP") == 0;
    if ((pre ? pregap : postgap) >= 0)
        error("multiple %s commands in track %s", command, label());
    if (pre && track_->index[0] != -1)
        error("PREGAP and INDEX 00 both give track %s a pregap", label());
    // The pause comes before the track's audio, the silence after it after all of it.
    if (pre && track_->index[1] != -1)
        error("PREGAP command after INDEX 01 in track %s", label());
    if (!pre && track_->index[1] == -1)
        error("POSTGAP command before INDEX 01 in track %s", label());
    (pre ? pregap : postgap) = frames;
}

void parser::text(const char *command, std::optional<std::string> PQlist::*disc,
                  std::optional<std::string> PQtrack::*track, const char *disc_message, const char *track_message)
{
    // A quoted text, or else the rest of the line: TITLE My Great Album is one title.
    const char *value = nullptr;
    if (char *rest = cursor_ + std::strspn(cursor_, separators); *rest == '"') {
        // A text that goes on after its closing quote (TITLE "Heroes" (12" mix)) was not
        // quoted as a whole: all of the rest of the line is the text, quotes included.
        const char *close = std::strrchr(rest + 1, '"');
        if (close != nullptr && close[1 + std::strspn(close + 1, separators)] != '\0') {
            value = rest_of_line();
            warning("%s goes on after its closing quote: the whole rest of the line is the text, %s", command, value);
        } else {
            value = token(1);
        }
    } else if (*rest != '\0') {
        value = rest_of_line();
    }
    // A command without any text is a slip in the cue sheet, not an empty title:
    // an empty title is written "".
    if (value == nullptr)
        error("missing text after %s command", command);
    if (in_track_section()) {
        if (track_->*track)
            error(track_message, plain_label());
        track_->*track = latin1(command, value, &(track_->*track));
    } else {
        if (cue_->pq.get()->*disc)
            error("%s", disc_message);
        cue_->pq.get()->*disc = latin1(command, value, &(cue_->pq.get()->*disc));
    }
}

/// A text of the sheet in ISO 8859-1, the character set CD-Text declares, once for CD-Text,
/// IMAGE.cue and the listings alike. The text is kept as it is too: Japanese texts go into
/// MS-JIS instead, once the whole sheet shows them all to be Japanese.
std::string parser::latin1(const char *command, const char *value, std::optional<std::string> *slot)
{
    texts_.push_back({slot, value});
    const latin1_text converted = to_latin1(value, text_encoding::utf8);
    std::string where = "of the disc";
    if (in_track_section())
        where = std::string("of track ") + label();
    char message[1024];
    if (converted.folded) {
        std::snprintf(message, sizeof message, "%s %s has typographic marks that ISO 8859-1 lacks, written as \"%s\"",
                      command, where.c_str(), latin1_to_utf8(converted.text).c_str());
        folded_.emplace_back(line_number_, message);
    }
    if (!converted.unrepresentable.empty()) {
        std::snprintf(message, sizeof message, "%s %s has characters that CD-Text in ISO 8859-1 cannot hold: \"%s\" (%s)",
                      command, where.c_str(), value, distinct_characters(converted.unrepresentable).c_str());
        unholdable_.emplace_back(line_number_, message);
    }
    return without_tabs(command, where.c_str(), converted.text);
}

/// CD-Text holds a TAB only as its mark for "the same as the previous track" (a text of one TAB),
/// which korvel never writes: a TAB in a text of the sheet becomes a space, with a warning.
std::string parser::without_tabs(const char *command, const char *where, std::string text)
{
    if (text.find('\t') == std::string::npos)
        return text;
    std::replace(text.begin(), text.end(), '\t', ' ');
    warning("%s %s holds a TAB, written as a space: CD-Text keeps the TAB to mark a text as the previous track's",
            command, where);
    return text;
}

/// A track 1 whose first index is INDEX 01 some way into its file, without INDEX 00, as DJ
/// software and radio loggers write it: the audio before it is the track's pregap, as if
/// INDEX 00 00:00:00 were written.
void parser::first_index_after_start(const char *time)
{
    warning("track %s starts at %s without INDEX 00: the audio before it is its pregap", label(), time);
    track_->index[0] = 0;
    points_.push_back({track_, 0, static_cast<int>(files_.size()) - 1, 0});
}

/// The name under which a file the sheet names is found: as it is written (in UTF-8, as file
/// names are on this system); in the sheet's own code page; or, for a Windows path that names
/// no file here, as the relative path it is from the sheet's folder ("Album\01.wav") and then
/// as its last component in the sheet's folder ("C:\Music\album.wav"). Otherwise as written,
/// for its evaluation to say that it is not there.
std::string parser::locate(const std::string &name) const
{
    const auto exists = [&](const std::string &candidate) {
        struct stat st;
        return candidate == "-" || stat(resolve(*cue_->cuefile, candidate.c_str()).c_str(), &st) == 0;
    };
    if (exists(name))
        return name;
    if (!charset_.empty()) {
        const std::optional<std::string> bytes = utf8_to_charset(name, charset_.c_str());
        if (bytes && exists(*bytes))
            return *bytes;
    }
    for (const std::string &candidate : cue_windows_path_candidates(name)) {
        if (exists(candidate)) {
            cue_warn(name.c_str(), -1, "not found, using %s in the cue sheet's folder", candidate.c_str());
            return candidate;
        }
    }
    return name;
}

/// Japanese texts go into MS-JIS CD-Text: when CD-Text will be made from the texts, some are
/// not ISO 8859-1, and all are Japanese texts that MS-JIS holds.
bool parser::texts_go_into_msjis()
{
    if (unholdable_.empty() || !cue_->cdtext_from_texts || cdtext_name_)
        return false;
    std::vector<std::string> texts;
    for (const sheet_text &text : texts_)
        texts.push_back(text.utf8);
    if (!msjis_suits(texts))
        return false;
    for (const sheet_text &text : texts_)
        *text.slot = msjis_from_utf8(text.utf8);
    cue_->pq->text_charset = CDTEXT_CHARSET_MSJIS;
    log_msg(1, "CD text: the texts are Japanese: they are written in MS-JIS, with the language code for Japanese\n");
    return true;
}

/// What became of the texts: typographic marks folded, and characters that CD-Text cannot
/// hold, errors when CD-Text is to be made from them, else warnings.
void parser::report_texts()
{
    if (texts_go_into_msjis())
        return;
    for (const auto &[line, message] : folded_)
        log_located("warning", tolk_basename(path_), line, "%s", message.c_str());
    const bool fatal = cue_->cdtext_from_texts && !cdtext_name_;
    for (const auto &[line, message] : unholdable_) {
        if (fatal)
            log_located("error", path_, line, "%s", message.c_str());
        else
            log_located("warning", tolk_basename(path_), line, "%s; shown as \"?\"", message.c_str());
    }
    if (fatal && !unholdable_.empty())
        throw fatal_error(1);
}

void parser::finish()
{
    if (track_ == nullptr)
        error("no TRACK command found");
    if (track_->index[1] == -1)
        error("missing INDEX 01 track %s", label());
    if (const std::string renumbered = cue_track_renumbering(track_numbers_); !renumbered.empty())
        cue_warn(path_, 0, "the disc numbers its tracks from 01: %s", renumbered.c_str());

    report_texts();
    if (cdtext_name_) {
        const std::string name = locate(*cdtext_name_);
        cdtext_name_.reset();
        evaluate_cdtextfile(cue_, name.c_str());
    }
    for (const auto &file : files_)
        evaluate_datafile(cue_, locate(file.name).c_str(), file.filetype);
    place_audio();
    lead_into_first_track();
    finish_image();
}

/// Joins the files with the silence of PREGAP and POSTGAP, and turns every index time in a
/// file into its position on the disc.
void parser::place_audio()
{
    std::vector<std::uint64_t> sizes;
    for (const auto &file : cue_->files)
        sizes.push_back(static_cast<std::uint64_t>(file.size));
    // Each track's points, in the order of the sheet: a PREGAP goes before the track's INDEX 01,
    // a POSTGAP before the next track's first index, or at the end of the last file.
    std::vector<image_gap_t> gaps;
    const auto at = [](const index_point &p, long frames) {
        return image_gap_t{p.file, static_cast<std::uint64_t>(p.frames) * CD_FRAME_BYTES, frames};
    };
    std::size_t first = 0;
    for (std::size_t t = 0; t < gaps_.size(); ++t) {
        std::size_t next = first;
        while (next < points_.size() && points_[next].track == points_[first].track)
            ++next;
        const auto [pregap, postgap] = gaps_[t];
        for (std::size_t i = first; i < next && pregap > 0; ++i)
            if (points_[i].index == 1)
                gaps.push_back(at(points_[i], pregap));
        if (postgap > 0)
            gaps.push_back(next < points_.size() ? at(points_[next], postgap)
                                                 : image_gap_t{static_cast<int>(sizes.size()) - 1, sizes.back(), postgap});
        first = next;
    }

    const image_layout layout(sizes, gaps);
    for (const auto &point : points_)
        point.track->index[point.index] = layout.position(point.file, point.frames);
    // A PREGAP is the track's pause: index 0 where its silence begins.
    PQtrack *track = cue_->pq->tracks.get();
    for (const auto &[pregap, postgap] : gaps_) {
        if (pregap > 0)
            track->index[0] = track->index[1] - pregap;
        track = track->next.get();
    }
    for (std::size_t k = 0; k < cue_->files.size(); ++k) {
        cue_->files[k].start = static_cast<long>(layout.file_start(static_cast<int>(k)));
        cue_->files[k].end = static_cast<long>(layout.file_end(static_cast<int>(k)));
    }
    cue_->image = layout.pieces();
}

/// The first track's pause: at least the two seconds of silence that lead into every disc.
void parser::lead_into_first_track()
{
    PQlist &pq = *cue_->pq;
    // A first track that starts right at 00:00:00 has its pause there too.
    PQtrack &first = *pq.tracks;
    if (first.index[0] == -1 && first.index[1] == 0)
        first.index[0] = 0;
    // Rippers such as EAC write a track 1 that starts less than two seconds into its file
    // (INDEX 00 00:00:00, INDEX 01 00:00:33): the original disc's pregap was longer by the
    // two seconds before the file began. They are added, and the disc keeps its timing;
    // so they are before a PREGAP of less than two seconds.
    const bool short_pregap = first.index[0] == 0 && first.index[1] > 0 && first.index[1] < CD_FIRST_PREGAP_FRAMES;
    if (short_pregap) {
        char pregap[9];
        if (gaps_.front().first > 0)
            cue_warn(path_, 0, "track %s has a PREGAP of %s, less than the two seconds before it on a disc: "
                               "two seconds of silence are added before it",
                     pq_track_label(pq, 1).c_str(), frames2str(first.index[1], pregap));
        else
            cue_warn(path_, 0, "track %s starts %s into its file, less than the two seconds before it on a disc: "
                               "two seconds of silence are added before the audio",
                     pq_track_label(pq, 1).c_str(), frames2str(first.index[1], pregap));
    }
    // Without a pregap in the data file, the image gets two seconds of silence before track 1.
    if (pq_get_first_pregap(pq) == 0 || short_pregap) {
        pq_add_pregap(pq, CD_FIRST_PREGAP_FRAMES);
        cue_->pregap_size = first_pregap_bytes;
        for (auto &file : cue_->files) {
            file.start += first_pregap_bytes;
            file.end += first_pregap_bytes;
        }
        cue_->image.insert(cue_->image.begin(), image_piece_t{-1, static_cast<std::uint64_t>(first_pregap_bytes)});
    }
}

/// The padding to the last whole sector, the lead-out, and enough audio for every index.
void parser::finish_image()
{
    PQlist &pq = *cue_->pq;
    // Audio that does not end on a sector boundary runs on into the next file: gapless albums
    // depend on it. Only the image as a whole is padded.
    for (std::size_t k = 0; k + 1 < cue_->files.size(); ++k) {
        const cue_datafile_t &file = cue_->files[k];
        if (file.size % CD_FRAME_BYTES != 0)
            cue_warn(file.path.c_str(), -1, "audio does not end at a CD sector boundary (%ld samples over): "
                                            "the next file follows without a gap",
                     file.size % CD_FRAME_BYTES / sample_frame_bytes);
    }
    const cue_datafile_t &last = cue_->files.back();
    const long rest = image_bytes(cue_->image) % CD_FRAME_BYTES;
    if (rest != 0) {
        cue_->padding_size = CD_FRAME_BYTES - rest;
        cue_warn(last.path.c_str(), -1, "audio does not end at a CD sector boundary, adding %ld bytes of silence",
                 cue_->padding_size);
        cue_->image.push_back({-1, static_cast<std::uint64_t>(cue_->padding_size)});
    }
    pq.lead_out = image_bytes(cue_->image) / CD_FRAME_BYTES;

    // Every index lies within its file: the last file's within the padded image, any other's no later
    // than the frame in which the next file starts, after the silence of a POSTGAP at the file's end:
    // an index past the audio of a file that ends inside a frame would follow the next file's first.
    for (const auto &point : points_) {
        const auto k = static_cast<std::size_t>(point.file);
        const cue_datafile_t &file = cue_->files[k];
        const bool is_last = &file == &last;
        const long ends = is_last ? pq.lead_out : cue_->files[k + 1].start / CD_FRAME_BYTES;
        const long needed = is_last ? last_index_position(pq) : point.track->index[point.index];
        if (ends < needed) {
            char end[9];
            char need[9];
            cue_err(file.path.c_str(), 0, "not enough audio data, file ends at %s, but we need at least %s.",
                    frames2str(ends, end), frames2str(needed, need));
        }
    }
}

} // namespace

// ---- Diagnostics and tokens ----

// A directory is refused as the open would be for a file that does not exist (errno
// EISDIR), so that it gets a clear message.
file_ptr open_input(const char *path)
{
    file_ptr fp = tolk_fopen(path, "rb");
    if (!fp)
        return fp;
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        fp.reset();
        errno = EISDIR;
    }
    return fp;
}

std::optional<std::string> read_sheet(std::FILE *fp)
{
    std::string bytes;
    std::array<char, 65536> block;
    std::size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), fp)) > 0) {
        bytes.append(block.data(), n);
        if (bytes.size() > cue_sheet_max_bytes) {
            errno = EFBIG;
            return std::nullopt;
        }
    }
    if (std::ferror(fp))
        return std::nullopt;
    return bytes;
}

void cue_err(const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("error", file, line, format, ap);
    va_end(ap);
    throw fatal_error(1);
}

void cue_warn(const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_vlocated("warning", tolk_basename(file), line, format, ap);
    va_end(ap);
}

int smart_fgets(char *buf, int size, std::FILE *fp)
{
    // Pre-filled with line feeds, the buffer shows whether fgets stopped at a line end
    // (or at the end of a last line without one) or because the buffer was full.
    std::memset(buf, '\n', static_cast<std::size_t>(size));
    if (std::fgets(buf, size, fp) == nullptr)
        return 0;
    if (std::memchr(buf, '\n', static_cast<std::size_t>(size)) != nullptr)
        return 1;
    int c = std::getc(fp);
    if (c == EOF)
        return 1;
    while (c != '\n' && c != EOF)
        c = std::getc(fp);
    return -1;
}

char *next_token(char *text, const char *separators_, int quoting, char **cursor)
{
    char *p = text != nullptr ? text : *cursor;
    if (p == nullptr)
        return nullptr;
    while (*p != '\0' && std::strchr(separators_, *p) != nullptr)
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    if (quoting && *p == '"') {
        char *start = p + 1;
        char *last = std::strrchr(start, '"');
        if (last != nullptr) {
            *last = '\0';
            *cursor = last + 1;
        } else {
            // An unclosed quote runs to the end of the line, but not into its line end.
            char *end = start + std::strlen(start);
            while (end > start && (end[-1] == '\n' || end[-1] == '\r'))
                *--end = '\0';
            *cursor = end;
        }
        return start;
    }
    char *start = p;
    while (*p != '\0' && std::strchr(separators_, *p) == nullptr)
        ++p;
    if (*p != '\0')
        *p++ = '\0';
    *cursor = p;
    return start;
}

int is_number(const char *text)
{
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return 0;
    return 1;
}

// ---- The cue sheet object ----

void cue_open(const char *path, cuesheet_t *cue)
{
    cue->pq = pq_new();
    cue->cuefile.reset();
    cue->cdtextfile.reset();
    cue->cdtext_header = 0;
    cue->files.clear();
    cue->image.clear();
    cue->pregap_size = 0;
    cue->audio_size = 0;
    cue->padding_size = 0;

    const bool from_stdin = std::strcmp(path, "-") == 0;
    file_ptr fp = from_stdin ? file_ptr(stdin) : open_input(path);
    if (!fp)
        cue_err(path, 0, "can't open file, message: %s", std::strerror(errno));
    cue->cuefile = path;

    // The sheet is read whole, for its encoding is a property of all of it: a byte-order mark,
    // UTF-16, or else UTF-8 when every byte sequence is valid UTF-8.
    errno = 0;
    const auto bytes = read_sheet(fp.get());
    if (!bytes)
        cue_err(path, 0, "can't read file, message: %s",
                errno == EFBIG ? "too large for a cue sheet" : std::strerror(errno != 0 ? errno : EIO));
    cue_sheet_text sheet = cue_sheet_decode(*bytes, cue->charset);
    if (!sheet.error.empty())
        cue_err(path, sheet.error_line, "%s", sheet.error.c_str());
    if (!sheet.warning.empty())
        cue_warn(path, 0, "%s", sheet.warning.c_str());
    // A line ends at a line feed, a carriage return and line feed, or a carriage return alone
    // (classic Mac OS).
    for (std::size_t i = 0; i < sheet.text.size(); ++i)
        if (sheet.text[i] == '\r' && (i + 1 == sheet.text.size() || sheet.text[i + 1] != '\n'))
            sheet.text[i] = '\n';
    file_ptr lines(sheet.text.empty() ? nullptr : fmemopen(sheet.text.data(), sheet.text.size(), "r"));

    parser p(cue, path, sheet.charset);
    if (lines)
        p.read_lines(lines.get());
    p.finish();
}

void cue_close(cuesheet_t *cue)
{
    cue->files.clear();
    cue->image.clear();
    cue->cuefile.reset();
    cue->cdtextfile.reset();
    del_pq(std::move(cue->pq));
}

// ---- The audio data file ----

void evaluate_datafile(cuesheet_t *cue, const char *name, int filetype)
{
    cue_datafile_t file;
    file.path = std::strcmp(name, "-") == 0 || tolk_path_is_abs(name) ? std::string(name) : resolve(*cue->cuefile, name);
    file.filetype = filetype;
    const char *path = file.path.c_str();

    // Raw samples, or a WAVE file (or FLAC in its place) that must hold CD audio.
    file_ptr fp = open_named_file(path);
    if (!fp && (errno == ESPIPE || errno == EISDIR))
        cue_err(path, -1, "not a regular file: korvel reads audio from files only");
    if (!fp)
        cue_err(path, -1, "can't open file, message: %s", std::strerror(errno));
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0)
        file.disk_size = static_cast<std::int64_t>(st.st_size);
    const audio_declared declared = filetype == CUE_FILETYPE_WAVE       ? audio_declared::wave
                                    : filetype == CUE_FILETYPE_MOTOROLA ? audio_declared::motorola
                                                                        : audio_declared::binary;
    file.input = audio_input::open(std::move(fp), path, declared);
    file.size = static_cast<long>(file.input.size());
    if (file.size % sample_frame_bytes != 0)
        cue_err(path, -1, "audio stops in the middle of a sample frame, this files is broken, audio length: %ld",
                file.size);
    cue->audio_size += file.size;
    cue->files.push_back(std::move(file));
}

// ---- The CD-Text file ----

void evaluate_cdtextfile(cuesheet_t *cue, const char *name)
{
    cue->cdtextfile = resolve(*cue->cuefile, name);
    const char *path = cue->cdtextfile->c_str();

    file_ptr fp = open_named_file(path);
    // Without CD-Text to write, the file would not be used: a sheet is not refused for it.
    if (!fp && !cue->cdtext_from_texts) {
        cue_warn(path, 0, "cannot open CD text file (%s), which is not used without -t: %s", path, std::strerror(errno));
        cue->cdtextfile.reset();
        return;
    }
    if (!fp)
        cue_err(path, 0, "cannot open CD text file (%s)", path);
    // CD-Text holds at most 8 blocks of 256 packs; a larger file is not CD-Text, and its
    // length would not fit the map packet that names it.
    struct stat st;
    if (fstat(fileno(fp.get()), &st) == 0 && st.st_size > cdtext_file_max_bytes)
        cue_err(path, 0, "CD text file is too large: %lld bytes, but CD text holds at most %ld (8 blocks of %d packs)",
                static_cast<long long>(st.st_size), cdtext_file_max_bytes, CDTEXT_MAX_PACKS);
    std::array<cdtext_block_info_t, 8> blocks{};
    cue->cdtext_header = cdtext_file_header(fp.get());
    errno = 0;
    if (cue->cdtext_header != 0 && std::fseek(fp.get(), cue->cdtext_header, SEEK_SET) != 0)
        cue_err(path, 0, "file reading failed (%s)", std::strerror(errno));
    const int scanned = cdtext_scan_blocks(fp.get(), blocks.data());
    if (scanned == -1)
        cue_err(path, 0, "file reading failed (%s)",
                errno != 0 ? std::strerror(errno) : "the file ends inside a CD text pack");
    if (scanned == 1)
        cue_err(path, 0, "not a binary CD text file");
    fp.reset();

    if (blocks[0].first_track != 1)
        cue_err(path, 0, "First track number in CD text file (%d) does not match cue file (%d)\n",
                blocks[0].first_track, 1);
    const int tracks = pq_num_tracks(*cue->pq);
    if (blocks[0].last_track != tracks)
        cue_err(path, 0, "Last track number in CD text (%d) file does not match cue sheet (%d)\n",
                blocks[0].last_track, tracks);
    log_msg(1, "CD text file is: %s\n", path);
}
