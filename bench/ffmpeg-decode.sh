#!/usr/bin/env bash
# What zarvel's FFmpeg path adds to FFmpeg's own decoding: zarvel-decode
# against `ffmpeg -threads 1 -f null` on the same files, in the same run.
# See bench/README.md.
#   bench/ffmpeg-decode.sh [--rounds N]     (or BENCH_ROUNDS=N; default 5)
set -euo pipefail

name=ffmpeg-decode
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
parse_rounds "$@"
out=bench/out
mkdir -p "$out"

install_peers ffmpeg
build_zarvel

# --- input ----------------------------------------------------------------------

# A zooming fractal blended with a moving test pattern: detail and motion
# everywhere. 8-bit 4:2:0 is copied into the pictures as it is; 4:2:2 goes
# through the scaler, so the second clip measures the conversion.
make_clip() {  # file pix_fmt
  local clip=$1
  [[ -s "$clip" ]] && return
  say "generating $clip"
  ffmpeg -hide_banner -nostdin -loglevel error -y -filter_complex \
    "mandelbrot=s=1280x720:r=30:maxiter=256,scroll=h=0.003:v=0.0015[fractal];
     testsrc2=s=1280x720:r=30[pattern];
     [fractal][pattern]blend=all_mode=average,format=$2[v]" \
    -map '[v]' -t 10 -c:v libx264 -preset medium -b:v 8M -threads 1 \
    -fflags +bitexact -flags +bitexact "$clip.part.mp4"
  mv "$clip.part.mp4" "$clip"
}
clips=("$out/h264-1280x720-30fps.mp4" "$out/h264-422-1280x720-30fps.mp4")
make_clip "${clips[0]}" yuv420p
make_clip "${clips[1]}" yuv422p

declare -A frames
for clip in "${clips[@]}"; do
  n=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$clip")
  [[ $n =~ ^[0-9]+$ && $n -gt 0 ]] || die "ffprobe cannot count the pictures of $clip"
  frames[$clip]=$n
done

# --- measuring ------------------------------------------------------------------

decoders=(zarvel ffmpeg)
declare -A wall
TIMEFORMAT='%3R'
log=$out/run.log
timing=$out/run.time

measure() {  # decoder clip
  local decoder=$1 clip=$2 cmd n
  case "$decoder" in
    zarvel) cmd=("$zarvel" "$clip" --path ffmpeg) ;;
    ffmpeg) cmd=(ffmpeg -hide_banner -nostdin -loglevel error -threads 1 -i "$clip" -an -f null -) ;;
  esac
  if ! { time "${cmd[@]}" >"$log" 2>&1; } 2>"$timing"; then
    cat "$log" >&2
    die "${cmd[*]}"
  fi
  if [[ $decoder == zarvel ]]; then
    n=$(sed -n 's/^zarvel-decode: path ffmpeg.* \([0-9][0-9]*\) pictures in .*/\1/p' "$log")
    [[ "$n" == "${frames[$clip]}" ]] || { cat "$log" >&2; die "zarvel-decode gave ${n:-no} pictures, ffprobe counts ${frames[$clip]}"; }
  fi
  wall[$decoder $clip]+=" $(cat "$timing")"
}

read -r load _ </proc/loadavg
say "$rounds rounds of ${decoders[*]} in turn on ${#clips[@]} clips; load average $load on $(nproc) cores before starting"
say "$(ffmpeg -version | awk 'NR == 1 { print "ffmpeg", $3 }'), both decoding on one thread"
for ((round = 1; round <= rounds; round++)); do
  for clip in "${clips[@]}"; do
    for decoder in "${decoders[@]}"; do measure "$decoder" "$clip"; done
  done
done
rm -f "$log" "$timing"

echo
for clip in "${clips[@]}"; do
  pix=$(ffprobe -v error -select_streams v:0 -show_entries stream=pix_fmt -of csv=p=0 "$clip")
  echo "$clip: 1280x720 30 fps $pix, ${frames[$clip]} pictures"
  printf '  %-8s %8s %12s\n' decoder "wall s" pictures/s
  declare -A w=()
  for decoder in "${decoders[@]}"; do
    w[$decoder]=$(median "${wall[$decoder $clip]}")
    printf '  %-8s %8.3f %12.1f\n' "$decoder" "${w[$decoder]}" "$(awk -v n="${frames[$clip]}" -v t="${w[$decoder]}" 'BEGIN { print n / t }')"
  done
  echo "  zarvel takes $(awk -v a="${w[zarvel]}" -v b="${w[ffmpeg]}" 'BEGIN { printf "%+.1f", (a / b - 1) * 100 }')% of ffmpeg's time (the copy$([[ $pix == yuv420p ]] || echo ' and conversion') into the pictures, and ffmpeg's own overhead the other way)"
done
