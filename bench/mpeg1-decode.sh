#!/usr/bin/env bash
# Compares zarvel's MPEG-1 video decoding speed with ffmpeg and mpeg2dec
# (libmpeg2), all measured in the same run. See bench/README.md.
#   bench/mpeg1-decode.sh [--rounds N]     (or BENCH_ROUNDS=N; default 5)
set -euo pipefail

name=mpeg1-decode
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
parse_rounds "$@"
out=bench/out
mkdir -p "$out"

install_peers ffmpeg mpeg2dec
build_zarvel

# --- inputs -------------------------------------------------------------------

# A zooming fractal scrolled a few pixels per picture, blended with a test
# pattern whose objects move on their own: fine detail everywhere and real
# motion, so P and B pictures carry motion vectors and residuals. Single-threaded
# bit-exact encoding keeps the clips the same from one run to the next.
make_clip() {  # path width height fps seconds bitrate maxrate bufsize [extra ffmpeg options]
  local path=$1 w=$2 h=$3 fps=$4 seconds=$5 rate=$6 maxrate=$7 bufsize=$8
  shift 8
  [[ -s "$path" ]] && return 0
  say "generating $path"
  ffmpeg -hide_banner -nostdin -loglevel error -y -filter_complex \
    "mandelbrot=s=${w}x${h}:r=${fps}:maxiter=256,scroll=h=0.003:v=0.0015[fractal];
     testsrc2=s=${w}x${h}:r=${fps}[pattern];
     [fractal][pattern]blend=all_mode=average,format=yuv420p" \
    -t "$seconds" -threads 1 -c:v mpeg1video -bf 2 -g 15 \
    -b:v "$rate" -maxrate "$maxrate" -bufsize "$bufsize" "$@" \
    -fflags +bitexact -flags +bitexact -threads 1 -f mpeg1video "$path.part"
  # ffmpeg's raw muxer leaves out the sequence end code; without it decoders
  # may hold back the last reference picture and the counts would not match.
  printf '\x00\x00\x01\xb7' >>"$path.part"
  mv "$path.part" "$path"
}

startup_clip=$out/mpeg1-1picture-720x576.m1v
clips=("$out/mpeg1-720x576-25fps-5M.m1v" "$out/mpeg1-1280x720-30fps-8M.m1v")
make_clip "${clips[0]}" 720 576 25 20 5M 6M 1835k
make_clip "${clips[1]}" 1280 720 30 10 8M 10M 2752k
# One intra picture: what remains of its time is each tool's fixed cost
# (start-up, probing, set-up), which weighs on short clips.
make_clip "$startup_clip" 720 576 25 1 5M 6M 1835k -frames:v 1

declare -A frames info
count_frames() {
  ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"
}
for clip in "$startup_clip" "${clips[@]}"; do
  n=$(count_frames "$clip")
  [[ $n =~ ^[0-9]+$ && $n -gt 0 ]] || die "ffprobe cannot count the pictures of $clip"
  frames[$clip]=$n
done
for clip in "${clips[@]}"; do
  n=${frames[$clip]}
  IFS=, read -r w h rate < <(ffprobe -v error -select_streams v:0 \
    -show_entries stream=width,height,r_frame_rate -of csv=p=0 "$clip")
  [[ $rate == */* ]] || die "ffprobe cannot read the picture rate of $clip"
  types=$(ffprobe -v error -select_streams v:0 -show_entries frame=pict_type -of csv=p=0 "$clip" |
    awk -F, '{ n[$1]++ } END { printf "I %d, P %d, B %d", n["I"], n["P"], n["B"] }')
  mbits=$(awk -v bytes="$(stat -c %s "$clip")" -v n="$n" -v rate="$rate" \
    'BEGIN { split(rate, r, "/"); printf "%.2f", bytes * 8 / (n * r[2] / r[1]) / 1e6 }')
  fps=$(awk -v rate="$rate" 'BEGIN { split(rate, r, "/"); printf "%g", r[1] / r[2] }')

  # The same pictures count, but a fast wrong decoder is no good either: compare
  # zarvel's pictures with ffmpeg's. Their inverse transforms may round apart a
  # little, so expect a high PSNR rather than equality.
  psnr=$("$zarvel" "$clip" --y4m /dev/fd/3 3>&1 >/dev/null |
    ffmpeg -hide_banner -nostdin -loglevel info -f yuv4mpegpipe -i pipe:0 -threads 1 -i "$clip" \
      -lavfi "[0:v]settb=1,setpts=N[z];[1:v]settb=1,setpts=N[f];[z][f]psnr" -f null - 2>&1 |
    sed -n 's/.*Parsed_psnr.* average:\([0-9.inf]*\) min:\([0-9.inf]*\).*/\1 \2/p' || true)
  read -r psnr_mean psnr_min <<<"$psnr"
  [[ -n "${psnr_min:-}" ]] || die "could not compare zarvel's pictures with ffmpeg's for $clip"
  if [[ $psnr_min != inf ]] && awk -v m="$psnr_min" 'BEGIN { exit !(m < 45) }'; then
    die "zarvel's pictures differ from ffmpeg's for $clip (PSNR min $psnr_min dB, mean $psnr_mean dB)"
  fi
  [[ $psnr_min == inf ]] || psnr_min=$(printf '%.1f' "$psnr_min")
  info[$clip]="${w}x${h} ${fps} fps, $n pictures ($types), $mbits Mbit/s; zarvel matches ffmpeg at PSNR >= $psnr_min dB"
done

# --- measuring ------------------------------------------------------------------

decoders=(zarvel ffmpeg mpeg2dec)
declare -A wall cpu
TIMEFORMAT='%3R %3U %3S'
log=$out/run.log
timing=$out/run.time

# Every tool gets the same external stopwatch: the shell's own, around the whole process.
measure() {  # decoder clip
  local decoder=$1 clip=$2 expected=${frames[$2]} cmd seconds user system n
  case "$decoder" in
    zarvel) cmd=("$zarvel" "$clip") ;;
    # -threads before -i is the decoder's: one thread, like the other two.
    ffmpeg) cmd=(ffmpeg -hide_banner -nostdin -loglevel error -threads 1 -i "$clip" -f null -) ;;
    # mpeg2dec picks its SIMD at run time; that is its best, so it stays on.
    mpeg2dec) cmd=(mpeg2dec -o null "$clip") ;;
  esac
  if ! { time "${cmd[@]}" >"$log" 2>&1; } 2>"$timing"; then
    cat "$log" >&2
    die "${cmd[*]}"
  fi
  read -r seconds user system <"$timing"
  case "$decoder" in
    zarvel)
      n=$(sed -n 's/^zarvel-decode: path .* \([0-9][0-9]*\) pictures in .*/\1/p' "$log")
      if [[ "$n" != "$expected" ]] || grep -q 'stopped early' "$log"; then
        cat "$log" >&2
        die "zarvel-decode gave ${n:-no} pictures for $clip (ffprobe counts $expected) or reported an error"
      fi
      ;;
    mpeg2dec)
      # Its progress lines end in carriage returns.
      n=$(tr '\r' '\n' <"$log" | sed -n 's/^\([0-9][0-9]*\) frames decoded.*/\1/p')
      [[ "$n" == "$expected" ]] || die "mpeg2dec gave ${n:-no} pictures for $clip, ffprobe counts $expected"
      ;;
  esac
  wall[$decoder,$clip]+=" $seconds"
  cpu[$decoder,$clip]+=" $(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.3f", u + s }')"
}


read -r load _ </proc/loadavg
say "$rounds rounds of zarvel, ffmpeg, mpeg2dec in turn; load average $load on $(nproc) cores before starting"
say "$(ffmpeg -version | awk 'NR == 1 { print "ffmpeg", $3 }'), $(mpeg2dec -h 2>&1 | awk 'NR == 1 { print $1 }') (mpeg2dec does not say which SIMD it picked)"
for ((round = 1; round <= rounds; round++)); do
  [[ -t 2 ]] && printf 'round %d/%d\r' "$round" "$rounds" >&2
  for clip in "$startup_clip" "${clips[@]}"; do
    for decoder in "${decoders[@]}"; do measure "$decoder" "$clip"; done
  done
done
[[ -t 2 ]] && printf '%20s\r' '' >&2
rm -f "$log" "$timing"

# --- results --------------------------------------------------------------------

declare -A startup
line="start-up (median wall time on one picture; 'net' takes it off):"
for decoder in "${decoders[@]}"; do
  startup[$decoder]=$(median "${wall[$decoder,$startup_clip]}")
  line+=" $decoder $(awk -v s="${startup[$decoder]}" 'BEGIN { printf "%.0f", s * 1000 }') ms,"
done
echo
echo "${line%,}"

for clip in "${clips[@]}"; do
  echo
  echo "$clip: ${info[$clip]}"
  printf '  %-9s %8s %8s %12s %12s\n' decoder "wall s" "cpu s" pictures/s "net pict/s"
  declare -A speed net
  for decoder in "${decoders[@]}"; do
    w=$(median "${wall[$decoder,$clip]}")
    c=$(median "${cpu[$decoder,$clip]}")
    read -r "speed[$decoder]" "net[$decoder]" < <(awk -v n="${frames[$clip]}" -v w="$w" -v s="${startup[$decoder]}" \
      'BEGIN { printf "%.1f %.1f\n", n / w, (w > s ? n / (w - s) : 0) }')
    printf '  %-9s %8.3f %8.3f %12s %12s\n' "$decoder" "$w" "$c" "${speed[$decoder]}" "${net[$decoder]}"
    # Single-threaded means at most one core's worth of CPU time per second.
    if awk -v w="$w" -v c="$c" 'BEGIN { exit !(c > 1.15 * w) }'; then
      say "warning: $decoder used more than one core on $clip (cpu $c s, wall $w s)"
    fi
  done
  ratios=""
  for pair in zarvel/ffmpeg zarvel/mpeg2dec mpeg2dec/ffmpeg; do
    a=${pair%/*} b=${pair#*/}
    ratios+=$(awk -v p="$pair" -v a="${speed[$a]}" -v b="${speed[$b]}" -v na="${net[$a]}" -v nb="${net[$b]}" \
      'BEGIN { printf "  %s %.2f (net %.2f)", p, a / b, (nb > 0 ? na / nb : 0) }')
  done
  echo "$ratios"
done
