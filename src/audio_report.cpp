#include "audio_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "block_pipeline.h"
#include "pqlist.h"

#ifdef KORVEL_HAVE_EBUR128
#include <ebur128.h>
#endif

// ---- Reading the disc ----

bool disc_sector_reader::read(long at, long n, unsigned char *buf, std::string &why)
{
    while (n > 0) {
        std::size_t seg = 0;
        while (seg < fs_.audio.size() && at >= fs_.audio[seg].start + fs_.audio[seg].sectors)
            ++seg;
        if (seg == fs_.audio.size() || at < fs_.audio[seg].start) {
            why = "the audio streams hold no sector " + std::to_string(at);
            return false;
        }
        const audio_segment &s = fs_.audio[seg];
        if (seg != segment_ || at != position_ || !in_) {
            in_.reset();
            segment_ = seg;
            const fileset_entry *e = fileset_find(src_, s.file);
            why = s.file + ": it is gone";
            if (e != nullptr)
                in_ = fileset_open(src_, *e, why);
            const std::int64_t offset = s.offset + static_cast<std::int64_t>(at - s.start) * CD_FRAME_BYTES;
            if (!in_)
                return false;
            if (std::fseek(in_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
                why = s.file + ": " + std::strerror(errno);
                return false;
            }
        }
        const long take = std::min(n, s.start + s.sectors - at);
        const std::size_t bytes = static_cast<std::size_t>(take * CD_FRAME_BYTES);
        if (std::fread(buf, 1, bytes, in_.get()) != bytes) {
            why = s.file + ": " +
                  (std::ferror(in_.get()) ? std::strerror(errno != 0 ? errno : EIO) : "shorter than its stream");
            in_.reset();
            return false;
        }
        at += take;
        position_ = at;
        n -= take;
        buf += bytes;
    }
    return true;
}

// ---- The tracks' boundaries ----

std::vector<std::pair<long, long>> audio_track_ranges(const PQlist &pq, long first)
{
    std::vector<std::pair<long, long>> ranges;
    const int tracks = pq_num_tracks(pq);
    ranges.emplace_back(first, std::max(first, pq_track_start(pq, 1)));
    for (int n = 1; n <= tracks; ++n)
        ranges.emplace_back(pq_track_start(pq, n), n < tracks ? pq_track_start(pq, n + 1) : pq.lead_out);
    return ranges;
}

// ---- One range's numbers ----

namespace {

constexpr double full_scale = 32768.0;
constexpr long rate = 44100;

double db(double linear) { return linear > 0 ? 20.0 * std::log10(linear) : -HUGE_VAL; }

} // namespace

double audio_measure::dbtp() const { return db(std::max(channels[0].true_peak, channels[1].true_peak)); }
double audio_measure::dbfs() const
{
    return db(std::max(channels[0].sample_peak, channels[1].sample_peak) / full_scale);
}
double audio_measure::dc(int channel) const
{
    const long n = frames();
    return n > 0 ? db(std::fabs(static_cast<double>(channels[channel].sum) / n) / full_scale) : -HUGE_VAL;
}
long audio_measure::clipped_runs() const { return channels[0].clipped_runs + channels[1].clipped_runs; }
double audio_measure::first_clip_seconds() const
{
    long first = -1;
    for (const channel_measure &c : channels)
        if (c.first_clip >= 0 && (first < 0 || c.first_clip < first))
            first = c.first_clip;
    return first < 0 ? -1.0 : static_cast<double>(first) / rate;
}

#ifdef KORVEL_HAVE_EBUR128

namespace {

struct ebur128_closer {
    void operator()(ebur128_state *st) const noexcept { ebur128_destroy(&st); }
};

/// Measures one range of the disc from its samples, given in order: everything but the true peak.
class range_meter {
public:
    // The histogram keeps the gating's memory the same for a track of any length (to 0.1 LU steps).
    range_meter(int track, long start, long end)
        : st_(ebur128_init(2, rate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_HISTOGRAM))
    {
        m_.track = track;
        m_.start = start;
        m_.end = end;
        if (!st_)
            throw std::bad_alloc();
    }

    /// Takes `frames` interleaved stereo sample frames.
    void add(const short *s, long frames)
    {
        scan(s, frames);
        // The momentary and short-term loudness are read every 100 ms, the step of their windows.
        while (frames > 0) {
            const long take = std::min(frames, until_poll_);
            ebur128_add_frames_short(st_.get(), s, static_cast<std::size_t>(take));
            s += 2 * take;
            frames -= take;
            until_poll_ -= take;
            if (until_poll_ == 0) {
                poll();
                until_poll_ = rate / 10;
            }
        }
    }

    audio_measure finish()
    {
        const long n = m_.frames();
        if (m_.silent)
            m_.zeros_start = m_.zeros_end = n;
        else
            m_.zeros_end = n - 1 - last_sound_;
        ebur128_loudness_global(st_.get(), &m_.integrated);
        ebur128_loudness_range(st_.get(), &m_.range);
        return m_;
    }

private:
    // The momentary (400 ms) and short-term (3 s) loudness are the K-weighted power averaged over
    // their windows, so both follow from the power of the last 100 ms, which the meter gives for
    // 4,410 frames. Asking it for the 3-second window instead sums 132,300 frames every 100 ms: that
    // was half of all the measuring's time. Before the first 3 s the windows hold silence, as the
    // meter's own do.
    void poll()
    {
        double v;
        double power = 0;
        if (ebur128_loudness_window(st_.get(), 100, &v) == 0 && std::isfinite(v))
            power = std::pow(10.0, (v + 0.691) / 10);
        const std::size_t n = steps_.size();
        steps_[step_] = power;
        double momentary = 0;
        double short_term = 0;
        for (std::size_t i = 0; i < n; ++i) {
            // The step `i` polls ago: the last four make the momentary window.
            const double p = steps_[(step_ + n - i) % n];
            short_term += p;
            if (i < 4)
                momentary += p;
        }
        m_.momentary_max = std::max(m_.momentary_max, loudness(momentary / 4));
        m_.short_term_max = std::max(m_.short_term_max, loudness(short_term / n));
        step_ = (step_ + 1) % n;
    }

    static double loudness(double power) { return power > 0 ? 10 * std::log10(power) - 0.691 : -HUGE_VAL; }

    void scan(const short *s, long frames)
    {
        for (long i = 0; i < frames; ++i, ++seen_) {
            const short l = s[2 * i];
            const short r = s[2 * i + 1];
            if (l != 0 || r != 0) {
                if (m_.silent)
                    m_.zeros_start = seen_;
                m_.silent = false;
                last_sound_ = seen_;
            }
            m_.identical = m_.identical && l == r;
            sample(0, l);
            sample(1, r);
        }
    }

    void sample(int c, short x)
    {
        channel_measure &ch = m_.channels[c];
        ch.sum += x;
        ch.sample_peak = std::max(ch.sample_peak, std::abs(static_cast<int>(x)));
        m_.channel_silent[c] = m_.channel_silent[c] && x == 0;
        // A run of three full-scale samples is clipping, not a peak that happens to touch the top.
        // A run holds one value: a square wave's jump from the top to the bottom starts a new one.
        if ((x == 32767 || x == -32768) && (run_[c] == 0 || x == last_[c])) {
            if (++run_[c] == 3 && ch.clipped_runs++ == 0)
                ch.first_clip = seen_ - 2;
        } else {
            run_[c] = x == 32767 || x == -32768 ? 1 : 0;
        }
        last_[c] = x;
    }

    std::unique_ptr<ebur128_state, ebur128_closer> st_;
    audio_measure m_;
    long seen_ = 0;
    long last_sound_ = -1;
    long until_poll_ = rate / 10;
    std::array<double, 30> steps_{}; ///< the power of the last 3 s, 100 ms a step
    std::size_t step_ = 0; ///< where the next step goes
    std::array<int, 2> run_{};
    std::array<short, 2> last_{};
};

/// One channel's true peak over a range. The oversampling is by far the costliest step of the
/// measuring, so each channel has a one-channel state of its own, and the two run on both cores.
class peak_meter {
public:
    explicit peak_meter(int channel) : channel_(channel), st_(ebur128_init(1, rate, EBUR128_MODE_TRUE_PEAK))
    {
        if (!st_)
            throw std::bad_alloc();
    }

    /// Takes `frames` interleaved stereo sample frames, of which it measures its channel.
    void add(const short *s, long frames)
    {
        mono_.resize(static_cast<std::size_t>(frames));
        for (long i = 0; i < frames; ++i)
            mono_[static_cast<std::size_t>(i)] = s[2 * i + channel_];
        ebur128_add_frames_short(st_.get(), mono_.data(), mono_.size());
    }

    /// The true peak, linear; never below the sample peak.
    double finish()
    {
        double v = 0;
        ebur128_true_peak(st_.get(), 0, &v);
        return v;
    }

private:
    int channel_;
    std::unique_ptr<ebur128_state, ebur128_closer> st_;
    std::vector<short> mono_;
};

// The disc is read in blocks of 30 sectors (69 KiB): the measuring takes some 40 ms a block, so
// the reads cost nothing, and four blocks in flight keep the memory small beside the meters'.
constexpr long block_sectors = 30;
// and measured 15 sectors (0.2 s) at a time.
constexpr long chunk_sectors = 15;

/// The samples of a block of sectors (little-endian on the disc) from sector `from` to `to`.
void decode(const data_block &b, long from, long to, std::vector<short> &out)
{
    const long first = b.tag;
    const unsigned char *p = b.data.get() + (from - first) * CD_FRAME_BYTES;
    const std::size_t n = static_cast<std::size_t>((to - from) * CD_FRAME_BYTES / 2);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<short>(p[2 * i] | (p[2 * i + 1] << 8));
}

/// Feeds the sectors of a block to one meter per range in turn; `done(index, meter)` takes each
/// meter when its range's last sector is in (ranges of no sectors included).
template <class Meter> class range_feed {
public:
    using make_fn = std::function<std::unique_ptr<Meter>(std::size_t)>;
    using done_fn = std::function<void(std::size_t, Meter &)>;

    range_feed(const std::vector<std::pair<long, long>> &ranges, make_fn make, done_fn done)
        : ranges_(ranges), make_(std::move(make)), done_(std::move(done))
    {
    }

    void add(const data_block &b, long sectors)
    {
        for (long at = std::max<long>(b.tag, ranges_.front().first); at < b.tag + sectors && next_ < ranges_.size();) {
            if (!meter_)
                meter_ = make_(next_);
            // A few sectors at a time: the samples of a whole block, once per meter, would add a
            // quarter of a megabyte each to the memory.
            const long to = std::min({b.tag + sectors, ranges_[next_].second, at + chunk_sectors});
            decode(b, at, to, samples_);
            meter_->add(samples_.data(), (to - at) * 588);
            at = to;
            if (to == ranges_[next_].second)
                close();
        }
        // Ranges of no sectors (a track 1 at sector 0) end here.
        while (next_ < ranges_.size() && ranges_[next_].first == ranges_[next_].second)
            close();
    }

private:
    void close()
    {
        if (!meter_)
            meter_ = make_(next_);
        done_(next_, *meter_);
        meter_.reset();
        ++next_;
    }

    const std::vector<std::pair<long, long>> &ranges_;
    make_fn make_;
    done_fn done_;
    std::size_t next_ = 0;
    std::unique_ptr<Meter> meter_;
    std::vector<short> samples_;
};

/// One channel's true peak of every range, measured as the blocks come.
struct channel_peaks {
    channel_peaks(const std::vector<std::pair<long, long>> &ranges, int channel)
        : peaks(ranges.size()),
          feed(ranges, [channel](std::size_t) { return std::make_unique<peak_meter>(channel); },
               [this](std::size_t i, peak_meter &m) { peaks[i] = m.finish(); })
    {
    }
    std::vector<double> peaks;
    range_feed<peak_meter> feed;
};

/// The report from the ranges' measures and their channels' true peaks. The audio before track 1
/// is a track of its own only when it is not digital silence. The programme's true peak is its
/// tracks': they cover it exactly, each oversampled from its own first sample.
audio_report assemble(std::vector<audio_measure> &measures, const channel_peaks &left,
                      const channel_peaks &right, audio_measure programme)
{
    audio_report r;
    for (std::size_t i = 0; i < measures.size(); ++i) {
        measures[i].channels[0].true_peak = left.peaks[i];
        measures[i].channels[1].true_peak = right.peaks[i];
        if (i > 0) {
            programme.channels[0].true_peak = std::max(programme.channels[0].true_peak, left.peaks[i]);
            programme.channels[1].true_peak = std::max(programme.channels[1].true_peak, right.peaks[i]);
        }
        if (i > 0 || !measures[i].silent)
            r.tracks.push_back(measures[i]);
    }
    r.programme = programme;
    return r;
}

} // namespace

bool audio_measuring_built_in() { return true; }

std::optional<audio_report> audio_measure_fileset(const fileset_source &src, const ddp_fileset &fs, std::string &why)
{
    if (!fs.pq || fs.audio.empty() || fs.audio_sectors < fs.pq->lead_out) {
        why = "the fileset's audio does not reach its lead-out";
        return std::nullopt;
    }
    const PQlist &pq = *fs.pq;
    const long first = std::max(0L, fs.audio.front().start);
    const std::vector<std::pair<long, long>> ranges = audio_track_ranges(pq, first);
    // The first core measures the tracks' loudness and the left channel's true peaks, the second
    // (when there is one) the programme's loudness as one stream and the right channel's true peaks.
    std::vector<audio_measure> measures(ranges.size());
    range_feed<range_meter> tracks(
        ranges,
        [&](std::size_t i) { return std::make_unique<range_meter>(static_cast<int>(i), ranges[i].first, ranges[i].second); },
        [&](std::size_t i, range_meter &m) { measures[i] = m.finish(); });
    channel_peaks left(ranges, 0), right(ranges, 1);
    const std::vector<std::pair<long, long>> whole{{pq_track_start(pq, 1), pq.lead_out}};
    audio_measure programme;
    range_feed<range_meter> programme_feed(
        whole, [&](std::size_t) { return std::make_unique<range_meter>(-1, whole[0].first, whole[0].second); },
        [&](std::size_t, range_meter &m) { programme = m.finish(); });
    const auto consume = [&](data_block &b) {
        const long n = static_cast<long>(b.size / CD_FRAME_BYTES);
        programme_feed.add(b, n);
        right.feed.add(b, n);
        return true;
    };
    const std::uint64_t bytes = static_cast<std::uint64_t>(pq.lead_out - first) * CD_FRAME_BYTES;
    block_pipeline pipeline(threads_for(bytes), block_sectors * CD_FRAME_BYTES, consume);
    disc_sector_reader reader(src, fs);
    // A disc of no sectors still gets a block, of none, so that each of its ranges is measured (as silence).
    long at = first;
    do {
        const long n = std::min(block_sectors, pq.lead_out - at);
        data_block b = pipeline.take();
        if (!b.data || !reader.read(at, n, b.data.get(), why)) {
            pipeline.cancel();
            return std::nullopt;
        }
        b.tag = static_cast<int>(at);
        b.size = static_cast<std::size_t>(n * CD_FRAME_BYTES);
        tracks.add(b, n);
        left.feed.add(b, n);
        if (!pipeline.give(std::move(b)))
            break;
        at += block_sectors;
    } while (at < pq.lead_out);
    pipeline.finish();
    return assemble(measures, left, right, programme);
}

#else

bool audio_measuring_built_in() { return false; }

std::optional<audio_report> audio_measure_fileset(const fileset_source &, const ddp_fileset &, std::string &why)
{
    why = "this korvel was built without libebur128";
    return std::nullopt;
}

#endif

// ---- The findings ----

namespace {

std::string track_name(const audio_measure &m)
{
    char name[16];
    std::snprintf(name, sizeof name, "track %02d", m.track);
    return name;
}

double ms(long frames) { return frames * 1000.0 / rate; }

/// A gap of silence the engineer may not have meant: more than two seconds inside the programme.
constexpr long gap_frames = 2 * rate;

} // namespace

void audio_report_warnings(const audio_report &r, ddp_fileset &fs)
{
    const int last = r.tracks.empty() ? 0 : r.tracks.back().track;
    for (const audio_measure &m : r.tracks) {
        const std::string t = track_name(m);
        if (m.silent) {
            fs.add(false, "", t, "holds only digital silence");
            continue;
        }
        if (m.clipped_runs() > 0)
            fs.add(false, "", t, "%ld clipped runs (3 or more samples at full scale), the first at %.3f s",
                   m.clipped_runs(), m.first_clip_seconds());
        if (m.dbtp() > 0)
            fs.add(false, "", t, "true peak %+.1f dBTP: inter-sample overs", m.dbtp());
        for (int c = 0; c < 2; ++c)
            if (m.dc(c) > -50)
                fs.add(false, "", t, "DC offset %.1f dBFS on the %s channel", m.dc(c), c == 0 ? "left" : "right");
        if (m.identical)
            fs.add(false, "", t, "both channels are identical (a mono master)");
        else if (m.channel_silent[0] || m.channel_silent[1])
            fs.add(false, "", t, "the %s channel is silent", m.channel_silent[0] ? "left" : "right");
        if (m.track > 1 && m.zeros_start > gap_frames)
            fs.add(false, "", t, "starts with %.1f s of digital silence", ms(m.zeros_start) / 1000);
        if (m.track != last && m.zeros_end > gap_frames)
            fs.add(false, "", t, "ends with %.1f s of digital silence", ms(m.zeros_end) / 1000);
    }
}

namespace {

std::string level(double v)
{
    if (!std::isfinite(v))
        return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string msf_text(long frames);

void print_row(const char *name, const audio_measure &m)
{
    const double dc = std::max(m.dc(0), m.dc(1));
    std::printf("%-5s  %8s  %6s  %5s  %6s  %6s  %7ld  %6s  %9.0f  %9.0f\n", name, msf_text(m.end - m.start).c_str(), level(m.integrated).c_str(),
                level(m.range).c_str(), level(m.dbtp()).c_str(), level(m.dbfs()).c_str(), m.clipped_runs(),
                level(dc).c_str(), ms(m.zeros_start), ms(m.zeros_end));
}

std::string msf_text(long frames)
{
    char text[32];
    return disc_time(frames, text, sizeof text);
}

nlohmann::ordered_json number(double v) { return std::isfinite(v) ? nlohmann::ordered_json(v) : nullptr; }

/// `v` to `digits` decimals, as the nearest double (JSON prints the shortest form that reads back).
double rounded(double v, int digits)
{
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

nlohmann::ordered_json measure_json(const audio_measure &m)
{
    using json = nlohmann::ordered_json;
    json channels = json::array();
    for (int c = 0; c < 2; ++c) {
        const channel_measure &ch = m.channels[static_cast<std::size_t>(c)];
        channels.push_back({{"true_peak_dbtp", number(rounded(db(ch.true_peak), 3))},
                            {"sample_peak_dbfs", number(rounded(db(ch.sample_peak / full_scale), 3))},
                            {"dc_offset_dbfs", number(rounded(m.dc(c), 3))},
                            {"clipped_runs", ch.clipped_runs},
                            {"first_clip_seconds", ch.first_clip < 0 ? json(nullptr) : json(ch.first_clip / double(rate))},
                            {"silent", m.channel_silent[static_cast<std::size_t>(c)]}});
    }
    json j = m.track >= 0 ? json{{"track", m.track}} : json::object();
    j.update(json{{"start", m.start},
                  {"length", {{"frames", m.end - m.start}, {"msf", msf_text(m.end - m.start)}}},
                  {"integrated_lufs", number(rounded(m.integrated, 2))},
                  {"loudness_range_lu", number(rounded(m.range, 2))},
                  {"momentary_max_lufs", number(rounded(m.momentary_max, 2))},
                  {"short_term_max_lufs", number(rounded(m.short_term_max, 2))},
                  {"channels", channels},
                  {"silence_start_ms", rounded(ms(m.zeros_start), 2)},
                  {"silence_end_ms", rounded(ms(m.zeros_end), 2)},
                  {"digital_silence", m.silent},
                  {"identical_channels", m.identical && !m.silent}});
    return j;
}

} // namespace

void audio_report_print(const audio_report &r)
{
    std::printf("*** Audio ***\n");
    std::printf("Track    Length    LUFS    LRA    dBTP    dBFS  Clipped      DC  Sil.start    Sil.end\n");
    for (const audio_measure &m : r.tracks) {
        char name[8];
        std::snprintf(name, sizeof name, "%02d", m.track);
        print_row(name, m);
    }
    print_row("All", r.programme);
}

nlohmann::ordered_json audio_report_json(const audio_report &r)
{
    nlohmann::ordered_json tracks = nlohmann::ordered_json::array();
    for (const audio_measure &m : r.tracks)
        tracks.push_back(measure_json(m));
    return {{"tracks", tracks}, {"programme", measure_json(r.programme)}};
}
