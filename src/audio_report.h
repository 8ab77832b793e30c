// The audio of a fileset measured as a mastering engineer checks it before the
// plant: per track (from its index 01 to the next track's) and for the whole
// programme, the loudness of ITU-R BS.1770 / EBU R128 (through libebur128),
// true and sample peaks, clipped runs, DC offset, digital silence at the edges
// and mono or one-sided masters. Nothing here is an error: the findings are
// warnings, the engineer decides.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fileset_reader.h"

/// Reads the disc's sectors, in any order but best in order, from the fileset's audio streams
/// through the reader's safe open; one file open at a time.
class disc_sector_reader {
public:
    disc_sector_reader(const fileset_source &src, const ddp_fileset &fs) : src_(src), fs_(fs) {}
    /// Reads the `n` sectors from disc sector `at` on into `buf`; false with `why` when they cannot be had.
    bool read(long at, long n, unsigned char *buf, std::string &why);

private:
    const fileset_source &src_;
    const ddp_fileset &fs_;
    std::size_t segment_ = SIZE_MAX; ///< the stream whose file is open
    long position_ = -1;             ///< the disc sector the open file reads next
    file_ptr in_;
};

/// A disc's tracks as the audio is measured and compared, in disc sectors [first, end): range 0 is
/// the audio before track 1's index 01 from `first` on, range n track n from its index 01 to the
/// next track's index 01 (the last one to the lead-out).
std::vector<std::pair<long, long>> audio_track_ranges(const PQlist &pq, long first);

/// One channel's peaks, clipping and DC.
struct channel_measure {
    double true_peak = 0;     ///< linear, 1.0 = full scale
    int sample_peak = 0;      ///< the largest magnitude, 32768 for -32768
    long clipped_runs = 0;    ///< runs of 3 or more samples at +32767 or -32768
    long first_clip = -1;     ///< the sample frame, from the start of the range, of the first run; -1 for none
    std::int64_t sum = 0;     ///< of the samples, for the DC offset
};

/// What was measured over a range of the disc.
struct audio_measure {
    int track = 0;  ///< 0 for the audio before track 1; -1 for the programme
    long start = 0; ///< disc sectors
    long end = 0;
    double integrated = 0; ///< LUFS; -inf for silence
    double range = 0;      ///< LU
    double momentary_max = -std::numeric_limits<double>::infinity();
    double short_term_max = -std::numeric_limits<double>::infinity();
    std::array<channel_measure, 2> channels{};
    long zeros_start = 0; ///< sample frames of digital silence that open the range
    long zeros_end = 0;   ///< and that close it
    bool silent = true;   ///< only digital silence
    bool identical = true;
    std::array<bool, 2> channel_silent{true, true};

    long frames() const { return (end - start) * 588; }
    double dbtp() const;               ///< the larger channel's true peak in dBTP
    double dbfs() const;               ///< the larger channel's sample peak in dBFS
    double dc(int channel) const;      ///< the channel's mean in dBFS; -inf for none
    long clipped_runs() const;         ///< both channels'
    double first_clip_seconds() const; ///< the earlier channel's first run; negative for none
};

/// The tracks (track 0 only when it holds sound) and the programme from track 1 to the lead-out.
struct audio_report {
    std::vector<audio_measure> tracks;
    audio_measure programme;
};

/// Whether this build measures audio (libebur128 built in).
bool audio_measuring_built_in();

/// Measures the audio of a fileset whose disc is known (fs.pq); nothing, with `why`, when the
/// audio cannot be read. Uses the second core when --threads allows.
std::optional<audio_report> audio_measure_fileset(const fileset_source &src, const ddp_fileset &fs,
                                                  std::string &why);

/// Adds the report's warnings (clipping, overs, DC, silence, mono or one-sided tracks) to `fs`.
void audio_report_warnings(const audio_report &r, ddp_fileset &fs);

/// Prints the report's table, a row per track and the programme row.
void audio_report_print(const audio_report &r);

/// The report as JSON: "tracks" and "programme"; a level of digital silence is null.
nlohmann::ordered_json audio_report_json(const audio_report &r);
