#!/usr/bin/env bash
# Times a whole korvel run against the tool chain a user would run instead.
#
#   bench/run_bench.sh [build-dir]        (default: build/ci)
#
# Makes an 80-minute disc (an 846,720,044-byte WAVE and its cue sheet) in a
# temporary folder, then times, in alternation and REPS times (default 5):
#   A  korvel -c disc.cue DIR     the complete fileset, into a fresh folder
#   B  cp disc.wav IMAGE.DAT && md5sum IMAGE.DAT && rhash --crc32 IMAGE.DAT
#   C  md5sum IMAGE.DAT           the floor for any tool that must MD5 the image
# and prints the medians, A/B and A/C, and korvel's peak resident memory for a
# 1-minute and an 80-minute disc. It then times reading that fileset back:
#   F  korvel --check REF         verify the fileset korvel wrote (C is its floor)
#   G  korvel --extract REF OUT   verify, then write image.wav and the track files
#   H  md5sum IMAGE.DAT && cp IMAGE.DAT a && cp IMAGE.DAT b
#   S  H, then sync -d a b        the copies on the disk, as korvel leaves its files
# with F/C, G/H, G/S and the peak resident memory of both. When ffmpeg is installed
# and korvel measures audio, it times the audio measured:
#   M  korvel --check --audio REF  every track and the programme (libebur128)
#   L  ffmpeg -i disc.wav -af ebur128=peak=true -f null -
# with M/L and the peak resident memory of M. Then two copies of the fileset compared:
#   X  korvel --diff REF COPY      identity, PQ, CD-Text and the audio of both images
#   Y  cmp REF/IMAGE.DAT COPY/IMAGE.DAT
# with X/Y and the peak resident memory of X. When zip and unzip are installed, it times
# the fileset as a ZIP archive:
#   Z  korvel --check REF.zip     the stored archive that korvel --zip wrote, against F
#   R  korvel --check DEF.zip     an archive made by zip -r (deflated where it helps)
#   U  unzip -t DEF.zip           unzip's own test of every entry's CRC-32
#   W  korvel -c --zip=X disc.cue DIR    the fileset and its archive
#   P  korvel -c disc.cue DIR && cp DIR/IMAGE.DAT X    the fileset, then a copy of the image
# with Z/F, R/U, W/P and the peak resident memory of Z and W. When the build has korvel_bench, it then
# sets md5_append's throughput beside md5sum's (from C) and crc32_update's
# beside zlib's crc32, and the time libebur128's meters alone take for the disc
# beside L. Last, when flac and sox are installed and korvel decodes FLAC, it
# makes the same disc as FLAC (pink noise from sox, which flac compresses as it
# does music), checks that korvel's IMAGE.DAT is what
# `flac -d` decodes, and times, in alternation and REPS times:
#   D  korvel -c album.cue DIR    the fileset from the FLAC file
#   E  flac -d -c album.flac > /dev/null
# and prints the medians, D/E and korvel's peak resident memory for it. When korvel
# encodes FLAC, it writes that disc's fileset and times, in alternation:
#   J  korvel --extract --format=flac REF OUT   verify, encode image.flac and the tracks
#   K  flac -5 image.wav                        one encode of the whole disc
# and prints the medians, J/K and korvel's peak resident memory for J.
# Every big file lives in the temporary folder (under $TMPDIR, else /tmp;
# about 5 GB at once), which is removed on exit, also on failure or
# interruption.
#
# Before every timed command the page cache is put in the same state: nothing
# dirty (sync, cheap because each run's outputs are deleted first), the WAVE
# file read once, and the image that C reads already cached.
#
# It ends with a summary: A/C, D/E, F/C and G/S, the largest peak resident memory of the
# writing and checking runs and of any run, and the load.
#
# Environment: REPS (repetitions, default 5), MINUTES (long disc, default 80), THREADS (1 or 2:
# passed as --threads to every korvel run; unset, korvel takes what the machine has).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/ci}
korvel=$(cd "$build" && pwd)/korvel
reps=${REPS:-5}
minutes=${MINUTES:-80}
# THREADS=1 or 2 passes --threads to every timed korvel run; unset, korvel decides.
threads=(${THREADS:+"--threads=$THREADS"})

for tool in python3 md5sum rhash /usr/bin/time cp sync awk; do
    command -v "$tool" >/dev/null 2>&1 || { echo "run_bench: $tool is missing" >&2; exit 1; }
done
[[ -x $korvel ]] || { echo "run_bench: no korvel at $korvel (build it first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-bench.XXXXXX")
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The long disc needs its WAVE, the reference fileset, two more copies of the audio and two
# archives of it at once.
need_kb=$(( (minutes * 10584000 * 6 + 100000000) / 1024 ))
avail_kb=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if (( avail_kb < need_kb )); then
    echo "run_bench: $work has $((avail_kb / 1024)) MiB free, needs $((need_kb / 1024)) MiB" >&2
    exit 1
fi

# Seconds since the epoch with microseconds, from bash itself.
now() { echo "${EPOCHREALTIME/,/.}"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# Peak resident memory of one korvel run, in KiB: the folder it writes into (made empty before,
# removed after, and given as korvel's last operand; "" for none), then korvel's other arguments.
peak_rss() {
    local out=$1
    shift
    [[ -z $out ]] || { rm -rf "$out" && mkdir "$out"; }
    /usr/bin/time -v -o "$work/time.txt" "$korvel" "${threads[@]}" "$@" ${out:+"$out"} >/dev/null
    local kib; kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt")
    echo "$kib"
    # The largest of each kind, for the summary: writing and checking, and any mode.
    echo "$kib $*" >>"$work/peaks.txt"
    [[ -z $out ]] || rm -rf "$out"
}

# Same page cache state for every timed command: no dirty pages waiting,
# the WAVE file just read, the reference image cached.
settle() {
    sync
    cat "$work/disc.wav" "$work/ref/IMAGE.DAT" >/dev/null
}

# Seconds of one command, output thrown away: $out is a fresh empty folder for it (removed
# after), and the page cache is put in order by SETTLE first.
out=$work/out
timed() {
    local settle=$1
    shift
    rm -rf "$out" && mkdir "$out"
    "$settle"
    local t0; t0=$(now)
    "$@" >/dev/null
    local t1; t1=$(now)
    rm -rf "$out"
    elapsed "$t0" "$t1"
}

copy_and_sum() {
    cp "$work/disc.wav" "$out/IMAGE.DAT"
    md5sum "$out/IMAGE.DAT"
    rhash --crc32 "$out/IMAGE.DAT"
}

# With an argument (S), the copies are also synced: korvel's files reach the disk before
# their names do, which cp alone never waits for.
sum_and_copy_twice() {
    md5sum "$work/ref/IMAGE.DAT"
    cp "$work/ref/IMAGE.DAT" "$out/a"
    cp "$work/ref/IMAGE.DAT" "$out/b"
    [[ $# -eq 0 ]] || sync -d "$out/a" "$out/b"
}

run_a() { timed settle "$korvel" "${threads[@]}" -c "$work/disc.cue" "$out"; }
run_b() { timed settle copy_and_sum; }
run_c() { timed settle md5sum "$work/ref/IMAGE.DAT"; }
run_f() { timed settle "$korvel" "${threads[@]}" --check "$work/ref"; }
run_g() { timed settle "$korvel" "${threads[@]}" --extract "$work/ref" "$out"; }
run_h() { timed settle sum_and_copy_twice "$@"; }

echo "korvel:  $korvel ${threads[*]}"
echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), kernel $(uname -r)"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes) at the start"

echo "Making a 1-minute and a ${minutes}-minute disc in $work ..."
python3 "$here/make_disc.py" --minutes 1 --dir "$work" --name short
python3 "$here/make_disc.py" --minutes "$minutes" --dir "$work" --name disc
echo "WAVE: $(stat -c %s "$work/disc.wav") bytes"

# One untimed run makes the reference image for C and shows that korvel's
# checksums agree with md5sum's and rhash's.
mkdir "$work/ref"
"$korvel" -c "$work/disc.cue" "$work/ref" >/dev/null
want_md5=$(md5sum <"$work/ref/IMAGE.DAT" | cut -d' ' -f1)
want_crc=$(rhash --crc32 --printf='%C' "$work/ref/IMAGE.DAT")
if ! grep -qx "$want_md5 \*IMAGE.DAT" "$work/ref/CHECKSUM.MD5" ||
   ! grep -qx "IMAGE.DAT=$want_crc" "$work/ref/CHECKSUM.TXT"; then
    echo "run_bench: korvel's checksums of IMAGE.DAT differ from md5sum's ($want_md5) or rhash's ($want_crc)" >&2
    exit 1
fi
echo "IMAGE.DAT: $(stat -c %s "$work/ref/IMAGE.DAT") bytes, MD5 $want_md5, CRC-32 $want_crc (korvel, md5sum and rhash agree)"

a=() b=() c=()
for ((i = 0; i < reps; i++)); do
    # Rotate the order, so that no command always follows the same one.
    case $((i % 3)) in
        0) a+=("$(run_a)"); b+=("$(run_b)"); c+=("$(run_c)") ;;
        1) b+=("$(run_b)"); c+=("$(run_c)"); a+=("$(run_a)") ;;
        2) c+=("$(run_c)"); a+=("$(run_a)"); b+=("$(run_b)") ;;
    esac
    echo "repetition $((i + 1)): A ${a[i]} s, B ${b[i]} s, C ${c[i]} s"
done

ma=$(median "${a[@]}")
mb=$(median "${b[@]}")
mc=$(median "${c[@]}")
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes) at the end"
echo
echo "Medians of $reps repetitions, ${minutes}-minute disc:"
echo "  A  korvel -c                       $ma s"
echo "  B  cp + md5sum + rhash --crc32     $mb s"
echo "  C  md5sum                          $mc s"
echo "  A/B = $(ratio "$ma" "$mb")   A/C = $(ratio "$ma" "$mc")"
echo
echo "Peak resident memory of korvel -c:"
echo "  1-minute disc:           $(peak_rss "$work/m" -c "$work/short.cue") KiB"
echo "  ${minutes}-minute disc:          $(peak_rss "$work/m" -c "$work/disc.cue") KiB"

# Reading the fileset back; the short disc's fileset for the memory of a small run.
mkdir "$work/short-ref"
"$korvel" -c "$work/short.cue" "$work/short-ref" >/dev/null
f=() g=() h=() hs=() c2=()
for ((i = 0; i < reps; i++)); do
    case $((i % 3)) in
        0) f+=("$(run_f)"); c2+=("$(run_c)"); g+=("$(run_g)"); h+=("$(run_h)"); hs+=("$(run_h sync)") ;;
        1) c2+=("$(run_c)"); g+=("$(run_g)"); h+=("$(run_h)"); hs+=("$(run_h sync)"); f+=("$(run_f)") ;;
        2) g+=("$(run_g)"); h+=("$(run_h)"); hs+=("$(run_h sync)"); f+=("$(run_f)"); c2+=("$(run_c)") ;;
    esac
    echo "repetition $((i + 1)): F ${f[i]} s, C ${c2[i]} s, G ${g[i]} s, H ${h[i]} s, S ${hs[i]} s"
done
mf=$(median "${f[@]}")
mc2=$(median "${c2[@]}")
mg=$(median "${g[@]}")
mh=$(median "${h[@]}")
mhs=$(median "${hs[@]}")
echo
echo "Medians of $reps repetitions, ${minutes}-minute fileset:"
echo "  F  korvel --check                  $mf s"
echo "  C  md5sum IMAGE.DAT                $mc2 s"
echo "  G  korvel --extract                $mg s"
echo "  H  md5sum + two cp IMAGE.DAT       $mh s"
echo "  S  the same, synced to the disk     $mhs s"
echo "  F/C = $(ratio "$mf" "$mc2")   G/H = $(ratio "$mg" "$mh")   G/S = $(ratio "$mg" "$mhs")"
echo
echo "Peak resident memory of korvel --check and --extract:"
echo "  --check,   1-minute disc:   $(peak_rss "" --check "$work/short-ref") KiB"
echo "  --check,   ${minutes}-minute disc:  $(peak_rss "" --check "$work/ref") KiB"
echo "  --extract, 1-minute disc:   $(peak_rss "$work/m" --extract "$work/short-ref") KiB"
echo "  --extract, ${minutes}-minute disc:  $(peak_rss "$work/m" --extract "$work/ref") KiB"

# ---- The audio measured, against ffmpeg's ebur128 filter over the same audio ----
run_m() { timed settle "$korvel" "${threads[@]}" --check --audio "$work/ref"; }
run_l() { timed settle ffmpeg -nostdin -hide_banner -nostats -i "$work/disc.wav" -af ebur128=peak=true -f null -; }
if command -v ffmpeg >/dev/null 2>&1 && "$korvel" --check --audio -v 0 "$work/short-ref" >/dev/null 2>&1; then
    m=() l=()
    for ((i = 0; i < reps; i++)); do
        if ((i % 2)); then l+=("$(run_l)"); m+=("$(run_m)"); else m+=("$(run_m)"); l+=("$(run_l)"); fi
        echo "repetition $((i + 1)): M ${m[i]} s, L ${l[i]} s"
    done
    mm=$(median "${m[@]}")
    ml=$(median "${l[@]}")
    echo
    echo "Medians of $reps repetitions, ${minutes}-minute fileset:"
    echo "  M  korvel --check --audio          $mm s"
    echo "  L  ffmpeg ebur128=peak=true        $ml s"
    echo "  M/L = $(ratio "$mm" "$ml")"
    echo "  peak resident memory of M:       $(peak_rss "" --check --audio "$work/ref") KiB"
else
    echo
    echo "Audio measured: skipped (needs ffmpeg and a korvel built with libebur128)"
fi

# ---- Two filesets compared, against cmp of their images ----
# The copy takes the place the extraction's outputs had: three images at once, as before.
cp -r "$work/ref" "$work/copy"
settle_two() {
    settle
    cat "$work/copy/IMAGE.DAT" >/dev/null
}
run_x() { timed settle_two "$korvel" "${threads[@]}" --diff "$work/ref" "$work/copy"; }
run_y() { timed settle_two cmp "$work/ref/IMAGE.DAT" "$work/copy/IMAGE.DAT"; }
x=() y=()
for ((i = 0; i < reps; i++)); do
    if ((i % 2)); then y+=("$(run_y)"); x+=("$(run_x)"); else x+=("$(run_x)"); y+=("$(run_y)"); fi
    echo "repetition $((i + 1)): X ${x[i]} s, Y ${y[i]} s"
done
mx=$(median "${x[@]}")
my=$(median "${y[@]}")
echo
echo "Medians of $reps repetitions, ${minutes}-minute fileset and its copy:"
echo "  X  korvel --diff                   $mx s"
echo "  Y  cmp of the two images           $my s"
echo "  X/Y = $(ratio "$mx" "$my")"
echo "  peak resident memory of X:       $(peak_rss "" --diff "$work/ref" "$work/copy") KiB"
rm -rf "$work/copy"

# ---- The fileset as a ZIP archive: read in place, and written beside the fileset ----
run_z() { timed settle "$korvel" "${threads[@]}" --check "$work/ref.zip"; }
run_r() { timed settle "$korvel" "${threads[@]}" --check "$work/def.zip"; }
run_u() { timed settle unzip -tq "$work/def.zip"; }
run_w() { timed settle "$korvel" "${threads[@]}" -c --zip="$work/out.zip" "$work/disc.cue" "$out"; }
write_and_copy() { "$korvel" "${threads[@]}" -c "$work/disc.cue" "$out" && cp "$out/IMAGE.DAT" "$work/out.zip"; }
run_p() { timed settle write_and_copy; }
if command -v zip >/dev/null 2>&1 && command -v unzip >/dev/null 2>&1; then
    # The reference archives: korvel's own (stored) and zip -r's, both read back by unzip first.
    rm -rf "$out" && mkdir "$out"
    "$korvel" -c --zip="$work/ref.zip" "$work/disc.cue" "$out" >/dev/null
    rm -rf "$out"
    (cd "$work" && zip -qr def.zip ref)
    unzip -tq "$work/ref.zip" >/dev/null && unzip -tq "$work/def.zip" >/dev/null
    z=() f2=() r=() u=() w=() p=()
    for ((i = 0; i < reps; i++)); do
        if ((i % 2)); then
            f2+=("$(run_f)"); z+=("$(run_z)"); u+=("$(run_u)"); r+=("$(run_r)"); p+=("$(run_p)"); w+=("$(run_w)")
        else
            z+=("$(run_z)"); f2+=("$(run_f)"); r+=("$(run_r)"); u+=("$(run_u)"); w+=("$(run_w)"); p+=("$(run_p)")
        fi
        rm -f "$work/out.zip"
        echo "repetition $((i + 1)): Z ${z[i]} s, F ${f2[i]} s, R ${r[i]} s, U ${u[i]} s, W ${w[i]} s, P ${p[i]} s"
    done
    mz=$(median "${z[@]}") mf2=$(median "${f2[@]}") mr=$(median "${r[@]}") mu=$(median "${u[@]}")
    mw=$(median "${w[@]}") mp=$(median "${p[@]}")
    echo
    echo "Medians of $reps repetitions, ${minutes}-minute fileset as a ZIP archive:"
    echo "  Z  korvel --check (korvel's stored archive)   $mz s"
    echo "  F  korvel --check (its directory)             $mf2 s"
    echo "  R  korvel --check (zip -r archive)            $mr s"
    echo "  U  unzip -t (zip -r archive)                  $mu s"
    echo "  W  korvel -c --zip                            $mw s"
    echo "  P  korvel -c, then cp IMAGE.DAT               $mp s"
    echo "  Z/F = $(ratio "$mz" "$mf2")   R/U = $(ratio "$mr" "$mu")   W/P = $(ratio "$mw" "$mp")"
    echo "  peak resident memory of Z:       $(peak_rss "" --check "$work/ref.zip") KiB"
    echo "  peak resident memory of W:       $(peak_rss "$work/m" -c --zip="$work/m.zip" "$work/disc.cue") KiB"
    rm -f "$work/ref.zip" "$work/def.zip" "$work/m.zip"
else
    echo
    echo "ZIP archives: skipped (needs zip and unzip)"
fi

bench_bin=$(cd "$build" && pwd)/bench/korvel_bench
if [[ -x $bench_bin ]]; then
    # Throughputs in bytes per second, from Google Benchmark's CSV report.
    rates=$("$bench_bin" --benchmark_filter='BM_(md5_append|crc32_update|crc32_update_portable|zlib_crc32)/4194304/real_time$' \
        --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
        awk -F, '$1 ~ /_median"?$/ { gsub(/"/, "", $1); sub(/\/4194304\/real_time_median$/, "", $1); print $1, $6 }')
    rate() { awk -v n="$1" '$1 == n { print $2 }' <<<"$rates"; }
    md5sum_rate=$(awk -v b="$(stat -c %s "$work/ref/IMAGE.DAT")" -v t="$mc" 'BEGIN { print b / t }')
    mib() { awk -v r="$1" 'BEGIN { printf "%.0f MiB/s", r / 1048576 }'; }
    echo
    echo "Throughput (korvel_bench medians, 4 MiB buffer; md5sum from C):"
    echo "  md5_append               $(mib "$(rate BM_md5_append)")"
    echo "  md5sum                   $(mib "$md5sum_rate")"
    echo "  crc32_update             $(mib "$(rate BM_crc32_update)")"
    echo "  crc32_update_portable    $(mib "$(rate BM_crc32_update_portable)")"
    echo "  zlib crc32               $(mib "$(rate BM_zlib_crc32)")"
    echo "  md5_append/md5sum = $(ratio "$(rate BM_md5_append)" "$md5sum_rate")   crc32_update/zlib = $(ratio "$(rate BM_crc32_update)" "$(rate BM_zlib_crc32)")   portable/zlib = $(ratio "$(rate BM_crc32_update_portable)" "$(rate BM_zlib_crc32)")"
    # libebur128 alone: the audio report runs two loudness meters and two true-peak channels, one
    # of each on a core, so no run of M can take less than their sum over two.
    meters=$("$bench_bin" --benchmark_filter='BM_ebur128_meter/' --benchmark_repetitions=3 \
        --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
        awk -F, '$1 ~ /_median"?$/ { gsub(/"/, "", $1); print $1, $6 }')
    if [[ -n $meters && -n ${mm:-} ]]; then
        floor=$(awk -v b="$(stat -c %s "$work/ref/IMAGE.DAT")" \
            '{ r[$1 ~ /meter\/0\// ? 0 : 1] = $2 } END { printf "%.3f", (2 * b / r[0] + 2 * b / r[1]) / 2 }' <<<"$meters")
        echo "  libebur128's meters alone, two on each core: $floor s for the disc; that over L = $(ratio "$floor" "$ml") (M/L's floor)"
    fi
fi

# The four ratios side by side, and the largest peak of the writing and checking runs and of any run.
summary() {
    echo
    local de=skipped
    [[ -z ${md:-} ]] || de=$(ratio "$md" "$me")
    echo "Summary (${threads[*]:-default threads}): A/C = $(ratio "$ma" "$mc")   D/E = $de" \
        "  F/C = $(ratio "$mf" "$mc2")   G/S = $(ratio "$mg" "$mhs")   X/Y = $(ratio "$mx" "$my")"
    # Writing and checking: a fileset written (from WAVE or FLAC) or a directory checked, nothing more.
    echo "  peak RSS, writing and checking: $(awk '($2 == "-c" || $2 == "--check") && !/--zip|--audio|\.zip( |$)/ && $1 > m { m = $1 } END { print m }' "$work/peaks.txt") KiB;" \
        "any mode: $(awk '$1 > m { m = $1 } END { print m }' "$work/peaks.txt") KiB"
    echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes) at the end"
}

# ---- FLAC: the decode on the way, against flac's own decoder ----
flac_skip() { echo; echo "FLAC: skipped ($1)"; summary; exit 0; }
command -v flac >/dev/null 2>&1 || flac_skip "flac is not installed"
command -v sox >/dev/null 2>&1 || flac_skip "sox is not installed"
# The WAVE disc's files are done with: the FLAC disc takes their place.
rm -rf "$work/disc.wav" "$work/ref" "$work/short.wav" "$work/short-ref"
echo
echo "Making a ${minutes}-minute FLAC disc ..."
sox -n -r 44100 -c 2 -b 16 "$work/album.wav" synth $((minutes * 60)) pinknoise vol 0.4
flac -s "$work/album.wav" -o "$work/album.flac"
rm -f "$work/album.wav"
sed 's/"disc.wav" WAVE/"album.flac" WAVE/' "$work/disc.cue" >"$work/album.cue"
summary=$("$korvel" -v 0 "$work/album.cue" 2>&1 || true)
[[ $summary == *$'\nFile type: FLAC\n'* ]] || flac_skip "this korvel was built without FLAC decoding"
echo "FLAC: $(stat -c %s "$work/album.flac") bytes"

# The image is the pregap, then what flac decodes (80 whole minutes: no padding).
mkdir "$work/ref"
"$korvel" -c "$work/album.cue" "$work/ref" >/dev/null
want=$({ head -c 352800 /dev/zero; flac -s -d -c --force-raw-format --endian=little --sign=signed "$work/album.flac"; } |
    md5sum | cut -d' ' -f1)
got=$(md5sum <"$work/ref/IMAGE.DAT" | cut -d' ' -f1)
if [[ $want != "$got" ]]; then
    echo "run_bench: korvel's IMAGE.DAT ($got) is not the pregap and what flac -d decodes ($want)" >&2
    exit 1
fi
rm -rf "$work/ref"
echo "IMAGE.DAT: MD5 $got, the pregap and what flac -d decodes"

settle_flac() {
    sync
    cat "$work/album.flac" >/dev/null
}

run_d() { timed settle_flac "$korvel" "${threads[@]}" -c "$work/album.cue" "$out"; }
decode() { flac -d -c "$work/album.flac" 2>/dev/null; }
run_e() { timed settle_flac decode; }

d=() e=()
for ((i = 0; i < reps; i++)); do
    if ((i % 2 == 0)); then d+=("$(run_d)"); e+=("$(run_e)"); else e+=("$(run_e)"); d+=("$(run_d)"); fi
    echo "repetition $((i + 1)): D ${d[i]} s, E ${e[i]} s"
done
md=$(median "${d[@]}")
me=$(median "${e[@]}")
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 minutes) after the FLAC runs"
echo
echo "Medians of $reps repetitions, ${minutes}-minute FLAC disc:"
echo "  D  korvel -c (FLAC)                $md s"
echo "  E  flac -d -c > /dev/null          $me s"
echo "  D/E = $(ratio "$md" "$me")"
echo "Peak resident memory of korvel -c, ${minutes}-minute FLAC disc: $(peak_rss "$work/m" -c "$work/album.cue") KiB"

# ---- The FLAC release set, against flac -5 of the whole disc ----
mkdir "$work/ref" "$work/wave"
"$korvel" -c "$work/album.cue" "$work/ref" >/dev/null
"$korvel" --extract "$work/ref" "$work/wave" >/dev/null
rm -f "$work"/wave/[0-9]*.wav
if [[ $("$korvel" --extract --format=flac 2>&1 || true) != *"needs libFLAC"* ]]; then
    settle_release() {
        sync
        cat "$work/ref/IMAGE.DAT" "$work/wave/image.wav" >/dev/null
    }
    run_j() { timed settle_release "$korvel" "${threads[@]}" --extract --format=flac "$work/ref" "$out"; }
    run_k() { timed settle_release flac -5 -s -f "$work/wave/image.wav" -o "$out/image.flac"; }
    j=() k=()
    for ((i = 0; i < reps; i++)); do
        if ((i % 2 == 0)); then j+=("$(run_j)"); k+=("$(run_k)"); else k+=("$(run_k)"); j+=("$(run_j)"); fi
        echo "repetition $((i + 1)): J ${j[i]} s, K ${k[i]} s"
    done
    mj=$(median "${j[@]}")
    mk=$(median "${k[@]}")
    echo
    echo "Medians of $reps repetitions, ${minutes}-minute FLAC disc's fileset:"
    echo "  J  korvel --extract --format=flac  $mj s"
    echo "  K  flac -5 image.wav               $mk s"
    echo "  J/K = $(ratio "$mj" "$mk")"
    echo "  peak resident memory of J:       $(peak_rss "$work/m" --extract --format=flac "$work/ref") KiB"
else
    echo
    echo "FLAC release set: skipped (this korvel was built without FLAC encoding)"
fi
summary
