#include "audio_compare.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "audio_report.h"
#include "block_pipeline.h"
#include "crc.h"
#include "parallel_digest.h"
#include "pqlist.h"

namespace {

/// A re-render that moved the start moves it by seconds at most: two seconds either way are searched.
constexpr long search_frames = 2 * 44100;
/// The samples at the first sound of one side that are looked for in the other.
constexpr long pattern_frames = 1024;
/// The window each side keeps: the search span twice over and a block, in sample frames (1 MiB).
constexpr long ring_frames = 1L << 18;
constexpr long ring_mask = ring_frames - 1;
/// A pattern found at several places (a loop, a repeated bar) gives several shifts to try.
constexpr std::size_t max_candidates = 8;

std::uint32_t frame_at(const unsigned char *p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

int left(std::uint32_t f) { return static_cast<std::int16_t>(f & 0xFFFF); }
int right(std::uint32_t f) { return static_cast<std::int16_t>(f >> 16); }

} // namespace

// ---- One track ----

track_comparer::track_comparer(long frames_a, long frames_b) : len_{frames_a, frames_b}
{
    for (auto &r : ring_)
        r.assign(static_cast<std::size_t>(ring_frames), 0);
}

/// A side's frame at `pos` (within its track and the window): before its first sound, silence.
std::uint32_t track_comparer::at(int side, long pos) const
{
    if (sound_[side] < 0 || pos < sound_[side])
        return 0;
    return ring_[side][static_cast<std::size_t>(pos & ring_mask)];
}

void track_comparer::add(const unsigned char *a, long na, const unsigned char *b, long nb)
{
    const unsigned char *bytes[2] = {a, b};
    const long n[2] = {na, nb};
    for (int s = 0; s < 2; ++s) {
        std::vector<std::uint32_t> &f = scratch_[s];
        f.resize(static_cast<std::size_t>(n[s]));
        if (n[s] == 0)
            continue;
        if constexpr (std::endian::native == std::endian::little)
            std::memcpy(f.data(), bytes[s], f.size() * sizeof f[0]);
        else
            for (long i = 0; i < n[s]; ++i)
                f[static_cast<std::size_t>(i)] = frame_at(bytes[s] + 4 * i);
        // Into the window, in two pieces where it wraps (a block is far smaller than the window).
        const long at = t_ & ring_mask;
        const long first = std::min(n[s], ring_frames - at);
        std::memcpy(&ring_[s][static_cast<std::size_t>(at)], f.data(), static_cast<std::size_t>(first) * sizeof f[0]);
        std::memcpy(ring_[s].data(), f.data() + first, static_cast<std::size_t>(n[s] - first) * sizeof f[0]);
        for (long i = 0; sound_[s] < 0 && i < n[s]; ++i)
            if (f[static_cast<std::size_t>(i)] != 0)
                sound_[s] = t_ + i;
    }
    in_place(scratch_[0].data(), scratch_[1].data(), std::min(na, nb));
    t_ += std::max(na, nb);
    if (!searched_ && sound_[0] >= 0 && sound_[1] >= 0 &&
        t_ >= std::max(sound_[0], sound_[1]) + search_frames + pattern_frames)
        search();
    for (candidate &c : candidates_)
        verify(c);
}

/// The samples compared where they stand; from the first difference on, whether B is A at a constant gain.
void track_comparer::in_place(const std::uint32_t *a, const std::uint32_t *b, long n)
{
    const bool same = n == 0 || std::memcmp(a, b, static_cast<std::size_t>(n) * sizeof *a) == 0;
    for (long i = 0; i < n; ++i) {
        if (!same && a[i] != b[i]) {
            if (differing_++ == 0)
                first_difference_ = t_ + i;
            if (!gain_started_) {
                // Equal samples allow a gain only as far as the loudest of them stays within 2 of itself.
                gain_started_ = true;
                const double slack = peak_same_ > 0 ? 2.0 / peak_same_ : std::numeric_limits<double>::infinity();
                gain_low_ = 1 - slack;
                gain_high_ = 1 + slack;
            }
        }
        if (gain_started_) {
            gain_sample(left(a[i]), left(b[i]));
            gain_sample(right(a[i]), right(b[i]));
        } else {
            peak_same_ = std::max({peak_same_, std::abs(left(a[i])), std::abs(right(a[i]))});
        }
    }
}

/// Narrows the gains g for which |y - g x| <= 2 held for every sample so far.
void track_comparer::gain_sample(int x, int y)
{
    if (!gain_ok_)
        return;
    if (x == 0) {
        gain_ok_ = std::abs(y) <= 2;
        return;
    }
    double low = (y - 2.0) / x;
    double high = (y + 2.0) / x;
    if (x < 0)
        std::swap(low, high);
    gain_low_ = std::max(gain_low_, low);
    gain_high_ = std::min(gain_high_, high);
    gain_ok_ = gain_low_ <= gain_high_;
    sum_ab_ += static_cast<double>(x) * y;
    sum_aa_ += static_cast<double>(x) * x;
}

/// Looks for the first sound of each side in the other, near where it is: each place found is a
/// shift to verify over the whole track.
void track_comparer::search()
{
    searched_ = true;
    // A track whose start is the same in both, or one side of silence, has not been moved.
    if (differing_ == 0 || sound_[0] < 0 || sound_[1] < 0)
        return;
    const long first = std::min(sound_[0], sound_[1]);
    if (first < t_ - ring_frames)
        return;
    find(0, sound_[0] + 1, sound_[0] + search_frames, 1);
    find(1, sound_[1] + 1, sound_[1] + search_frames, -1);
    std::stable_sort(candidates_.begin(), candidates_.end(),
                     [](const candidate &x, const candidate &y) { return std::labs(x.shift) < std::labs(y.shift); });
    // Before both sides' first sound, both are silence: the comparison starts there.
    for (candidate &c : candidates_)
        c.next = std::max(std::max(0L, -c.shift), first - std::labs(c.shift));
}

/// Adds a candidate for every place in [from, to] of the other side where `side`'s first sound is
/// found; `sign` says which way that moves B.
void track_comparer::find(int side, long from, long to, long sign)
{
    const int other = 1 - side;
    const long start = sound_[side];
    const long k = std::min(pattern_frames, len_[side] - start);
    for (long j = from; j <= to && k > 0 && candidates_.size() < max_candidates; ++j) {
        if (j + k > std::min(len_[other], t_))
            break;
        long m = 0;
        while (m < k && at(other, j + m) == at(side, start + m))
            ++m;
        if (m == k)
            candidates_.push_back({sign * (j - start), 0, true});
    }
}

/// Compares A's frames with B's `shift` frames on, as far as both have come.
void track_comparer::verify(candidate &c) const
{
    if (!c.alive)
        return;
    const long end = std::min({len_[0], len_[1] - c.shift, t_ - std::max(0L, c.shift)});
    for (long i = c.next; i < end; ++i)
        if (at(0, i) != at(1, i + c.shift)) {
            c.alive = false;
            return;
        }
    c.next = std::max(c.next, end);
}

track_audio_verdict track_comparer::finish()
{
    if (!searched_)
        search();
    for (candidate &c : candidates_)
        verify(c);
    track_audio_verdict v;
    v.frames = std::max(len_[0], len_[1]);
    v.differing = differing_ + std::labs(len_[0] - len_[1]);
    v.first_difference = first_difference_ >= 0 || len_[0] == len_[1] ? first_difference_ : std::min(len_[0], len_[1]);
    // Silence is silence, however long: a changed pregap is a difference of the PQ stream.
    if (v.differing == 0 || (sound_[0] < 0 && sound_[1] < 0))
        return v;
    for (const candidate &c : candidates_)
        if (c.alive) {
            v.what = track_audio_verdict::kind::shifted;
            v.shift = c.shift;
            return v;
        }
    v.what = track_audio_verdict::kind::differs;
    if (gain_started_ && gain_ok_ && len_[0] == len_[1] && sum_aa_ > 0) {
        const double g = std::clamp(sum_ab_ / sum_aa_, gain_low_, gain_high_);
        if (g > 0) {
            v.what = track_audio_verdict::kind::gain;
            v.gain_db = 20 * std::log10(g);
        }
    }
    return v;
}

// ---- Two discs ----

namespace {

/// Sectors of each disc a block carries.
constexpr long block_sectors = 24;
/// The block's head: the range, the sectors of each side and where on its disc each starts.
constexpr std::size_t head_bytes = 5 * sizeof(std::int64_t);

/// One disc as it is read and compared: its ranges, its reader, and the checksums of its audio files.
struct disc_side {
    disc_side(const fileset_source &src, const ddp_fileset &fs)
        : src(src), fs(fs), reader(src, fs), sums(fs.audio.size()), hashed(fs.audio.size(), 0)
    {
    }
    long frames(std::size_t k) const
    {
        return k < ranges.size() ? (ranges[k].second - ranges[k].first) * 588 : 0;
    }
    /// The sectors [at, at + n) into the checksums of the files that hold them.
    void hash(const unsigned char *data, long at, long n)
    {
        for (std::size_t i = 0; i < fs.audio.size(); ++i) {
            const audio_segment &s = fs.audio[i];
            const long from = std::max(at, s.start);
            const long to = std::min(at + n, s.start + s.sectors);
            if (from >= to)
                continue;
            const std::size_t bytes = static_cast<std::size_t>((to - from) * CD_FRAME_BYTES);
            sums[i].append(data + (from - at) * CD_FRAME_BYTES, bytes);
            hashed[i] += bytes;
        }
    }
    /// The checksums of the audio files that one stream holds from their first byte to their last.
    void put(ddp_files *list) { ddpf_add_stream_digests(src, fs, sums, hashed, list); }

    const fileset_source &src;
    const ddp_fileset &fs;
    std::vector<std::pair<long, long>> ranges;
    disc_sector_reader reader;
    std::vector<digest_state> sums;
    std::vector<std::uint64_t> hashed;
};

/// Whether the disc's audio can be read from its first sector to its lead-out; `why` when not.
bool readable(disc_side &d, std::string &why)
{
    if (!d.fs.pq || d.fs.audio.empty() || d.fs.audio_sectors < d.fs.pq->lead_out) {
        why = d.src.dir + ": the fileset's audio does not reach its lead-out";
        return false;
    }
    d.ranges = audio_track_ranges(*d.fs.pq, std::max(0L, d.fs.audio.front().start));
    return true;
}

/// Takes the blocks in order, one comparer per range at a time; on the second thread when there is one.
class comparison_feed {
public:
    comparison_feed(disc_side (&sides)[2], disc_audio_comparison &out) : sides_(sides), out_(out)
    {
        for (int s = 0; s < 2; ++s) {
            out_.crc[s].assign(sides_[s].ranges.size(), 0);
            out_.frames[s].resize(sides_[s].ranges.size());
            out_.sound[s].assign(sides_[s].ranges.size(), false);
            for (std::size_t k = 0; k < sides_[s].ranges.size(); ++k)
                out_.frames[s][k] = sides_[s].frames(k);
        }
    }

    bool operator()(const data_block &b)
    {
        std::int64_t head[5];
        std::memcpy(head, b.data.get(), head_bytes);
        const std::size_t k = static_cast<std::size_t>(head[0]);
        if (!comparer_ || k != range_) {
            close();
            range_ = k;
            comparer_ = std::make_unique<track_comparer>(sides_[0].frames(k), sides_[1].frames(k));
            for (auto &c : crc_)
                crc32_init(&c);
        }
        const unsigned char *data[2] = {b.data.get() + head_bytes,
                                        b.data.get() + head_bytes + block_sectors * CD_FRAME_BYTES};
        // A's files are hashed on the reading thread, B's here: the two cores share the checksums.
        sides_[1].hash(data[1], static_cast<long>(head[4]), static_cast<long>(head[2]));
        for (int s = 0; s < 2; ++s)
            crc32_update(&crc_[s], data[s], static_cast<long>(head[1 + s] * CD_FRAME_BYTES));
        comparer_->add(data[0], static_cast<long>(head[1] * 588), data[1], static_cast<long>(head[2] * 588));
        return true;
    }

    /// Ends the range being compared.
    void close()
    {
        if (!comparer_)
            return;
        for (int s = 0; s < 2; ++s)
            if (range_ < sides_[s].ranges.size()) {
                crc32_finish(&crc_[s]);
                out_.crc[s][range_] = static_cast<std::uint32_t>(crc_[s]);
                out_.sound[s][range_] = comparer_->sound(s);
            }
        const track_audio_verdict v = comparer_->finish();
        if (range_ < sides_[0].ranges.size() && range_ < sides_[1].ranges.size())
            out_.tracks.push_back(v);
        comparer_.reset();
    }

private:
    disc_side (&sides_)[2];
    disc_audio_comparison &out_;
    std::size_t range_ = 0;
    std::unique_ptr<track_comparer> comparer_;
    std::uint64_t crc_[2] = {};
};

/// Reads the next sectors of range `k` of both discs into a block; false with `why` when they cannot be had.
bool fill(data_block &b, std::size_t k, disc_side (&sides)[2], long (&pos)[2], std::string &why)
{
    std::int64_t head[5] = {static_cast<std::int64_t>(k), 0, 0, pos[0], pos[1]};
    for (int s = 0; s < 2; ++s) {
        const long end = k < sides[s].ranges.size() ? sides[s].ranges[k].second : pos[s];
        const long n = std::min(block_sectors, end - pos[s]);
        unsigned char *into = b.data.get() + head_bytes + s * block_sectors * CD_FRAME_BYTES;
        if (n > 0 && !sides[s].reader.read(pos[s], n, into, why))
            return false;
        if (s == 0)
            sides[s].hash(into, pos[s], n);
        head[1 + s] = n;
        pos[s] += n;
    }
    std::memcpy(b.data.get(), head, head_bytes);
    b.size = head_bytes + 2 * block_sectors * CD_FRAME_BYTES;
    return true;
}

} // namespace

std::optional<disc_audio_comparison> audio_compare_filesets(const fileset_source &src_a, const ddp_fileset &a,
                                                            const fileset_source &src_b, const ddp_fileset &b,
                                                            std::string &why)
{
    disc_side sides[2] = {{src_a, a}, {src_b, b}};
    if (!readable(sides[0], why) || !readable(sides[1], why))
        return std::nullopt;
    disc_audio_comparison out;
    comparison_feed feed(sides, out);
    const std::uint64_t bytes = static_cast<std::uint64_t>(a.pq->lead_out + b.pq->lead_out) * CD_FRAME_BYTES;
    block_pipeline pipeline(threads_for(bytes), head_bytes + 2 * block_sectors * CD_FRAME_BYTES,
                            [&feed](data_block &blk) { return feed(blk); });
    const std::size_t ranges = std::max(sides[0].ranges.size(), sides[1].ranges.size());
    for (std::size_t k = 0; k < ranges; ++k) {
        long pos[2];
        long end[2];
        for (int s = 0; s < 2; ++s) {
            const bool has = k < sides[s].ranges.size();
            pos[s] = has ? sides[s].ranges[k].first : 0;
            end[s] = has ? sides[s].ranges[k].second : 0;
        }
        // A range of no sectors still gets its block, so that it is compared (and found the same).
        do {
            data_block blk = pipeline.take();
            if (!blk.data || !fill(blk, k, sides, pos, why)) {
                pipeline.cancel();
                return std::nullopt;
            }
            if (!pipeline.give(std::move(blk)))
                break;
        } while (pos[0] < end[0] || pos[1] < end[1]);
    }
    pipeline.finish();
    feed.close();
    for (int s = 0; s < 2; ++s)
        sides[s].put(&out.digests[s]);
    return out;
}

std::vector<int> audio_reordering(const disc_audio_comparison &c)
{
    const std::size_t n = c.crc[1].size();
    if (n != c.crc[0].size() || n < 3)
        return {};
    std::vector<int> from(n, 0);
    std::vector<bool> taken(n, false);
    bool moved = false;
    for (std::size_t r = 1; r < n; ++r) {
        const auto same = [&](std::size_t q) {
            return !taken[q] && c.crc[0][q] == c.crc[1][r] && c.frames[0][q] == c.frames[1][r];
        };
        std::size_t q = same(r) ? r : 1;
        while (q < n && !same(q))
            ++q;
        if (q == n)
            return {};
        taken[q] = true;
        from[r] = static_cast<int>(q);
        moved = moved || q != r;
    }
    return moved ? from : std::vector<int>{};
}
