#include "cueparser.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cue_charset.h"
#include "cue_dialect.h"
#include "cue_texts.h"
#include "image_finish.h"
#include "log.h"

namespace {

/// A cue sheet line holds at most 254 characters before its line feed.
constexpr int line_buffer_size = 256;
constexpr const char *separators = "\n\r\t ";

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

// ---- The parser ----

class parser {
public:
    parser(cuesheet_t *cue, const char *path, std::string charset)
        : cue_(cue), path_(path), charset_(std::move(charset)), texts_(path)
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
    char *rest_of_line();
    void first_index_after_start(const char *time);
    char *code();

    cuesheet_t *cue_;
    const char *path_;
    /// The code page the sheet was read in, empty for UTF-8: file names may be in it.
    std::string charset_;
    bool other_case_warned_ = false;
    std::string label_;
    std::string plain_label_;
    /// Each track's number as the sheet writes it.
    std::vector<std::string> track_numbers_;
    /// The titles, performers and songwriters, until the whole sheet tells their character set.
    cue_texts texts_;
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
    /// The index points, frames into their files until the files are measured.
    std::vector<cue_index_point> points_;
    /// Each track's PREGAP and POSTGAP in frames, -1 for none.
    cue_track_gaps gaps_;
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
        track_->*track = texts_.latin1(command, std::string("of track ") + label(), line_number_, value,
                                       &(track_->*track));
    } else {
        if (cue_->pq.get()->*disc)
            error("%s", disc_message);
        cue_->pq.get()->*disc = texts_.latin1(command, "of the disc", line_number_, value, &(cue_->pq.get()->*disc));
    }
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

void parser::finish()
{
    if (track_ == nullptr)
        error("no TRACK command found");
    if (track_->index[1] == -1)
        error("missing INDEX 01 track %s", label());
    if (const std::string renumbered = cue_track_renumbering(track_numbers_); !renumbered.empty())
        cue_warn(path_, 0, "the disc numbers its tracks from 01: %s", renumbered.c_str());

    texts_.report_texts(*cue_->pq, cue_->cdtext_from_texts && !cdtext_name_);
    if (cdtext_name_) {
        const std::string name = locate(*cue_->cuefile, charset_, *cdtext_name_);
        cdtext_name_.reset();
        evaluate_cdtextfile(cue_, name.c_str());
    }
    for (const auto &file : files_)
        evaluate_datafile(cue_, locate(*cue_->cuefile, charset_, file.name).c_str(), file.filetype);
    place_audio(cue_, points_, gaps_);
    lead_into_first_track(cue_, path_, gaps_);
    finish_image(cue_, points_);
}

} // namespace

// ---- Tokens ----

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
