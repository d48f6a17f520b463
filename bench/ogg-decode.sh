#!/usr/bin/env bash
# Compares zarvel's Ogg Theora decoding speed with libtheora's own example
# decoder and with ffmpeg, all measured in the same run. See bench/README.md.
#   bench/ogg-decode.sh [--rounds N]     (or BENCH_ROUNDS=N; default 5)
set -euo pipefail

name=ogg-decode
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
parse_rounds "$@"
out=bench/out
mkdir -p "$out"

install_peers ffmpeg libtheora-bin
build_zarvel

# --- input ----------------------------------------------------------------------

# Fine detail and real motion (a zooming fractal blended with a moving test
# pattern) and a stereo tone, encoded single-threaded and bit-exact so that the
# clip is the same from one run to the next.
clip=$out/ogg-1280x720-30fps.ogv
if [[ ! -s "$clip" ]]; then
  say "generating $clip"
  # The tone comes in as its own input: the encoder needs the CLI to cut it
  # into frames of the size libvorbis takes.
  ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "sine=f=440:r=44100:d=10" -filter_complex \
    "mandelbrot=s=1280x720:r=30:maxiter=256,scroll=h=0.003:v=0.0015[fractal];
     testsrc2=s=1280x720:r=30[pattern];
     [fractal][pattern]blend=all_mode=average,format=yuv420p[v]" \
    -map '[v]' -map 0:a -ac 2 -t 10 -threads 1 -c:v libtheora -b:v 6M -g 60 \
    -c:a libvorbis -q:a 4 -fflags +bitexact -flags +bitexact -threads 1 "$clip.part.ogv"
  mv "$clip.part.ogv" "$clip"
fi
frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$clip")
[[ $frames =~ ^[0-9]+$ && $frames -gt 0 ]] || die "ffprobe cannot count the pictures of $clip"
mbits=$(awk -v bytes="$(stat -c %s "$clip")" 'BEGIN { printf "%.2f", bytes * 8 / 10 / 1e6 }')

# --- measuring ------------------------------------------------------------------

# zarvel decodes pictures only, like the two peers; "zarvel-pp0" switches
# libtheora's post-processing off, as the peers have it, "zarvel" keeps the
# level-1 post-processing that playback uses.
decoders=(zarvel zarvel-pp0 theora_dump ffmpeg)
declare -A wall
TIMEFORMAT='%3R'
log=$out/run.log
timing=$out/run.time

measure() {  # decoder
  local decoder=$1 cmd n
  case "$decoder" in
    zarvel) cmd=("$zarvel" "$clip" --path ogg --no-audio) ;;
    zarvel-pp0) cmd=("$zarvel" "$clip" --path ogg --no-audio --no-postprocess) ;;
    theora_dump) cmd=(theora_dump_video -o /dev/null "$clip") ;;
    ffmpeg) cmd=(ffmpeg -hide_banner -nostdin -loglevel error -threads 1 -i "$clip" -an -f null -) ;;
  esac
  if ! { time "${cmd[@]}" >"$log" 2>&1; } 2>"$timing"; then
    cat "$log" >&2
    die "${cmd[*]}"
  fi
  if [[ $decoder == zarvel* ]]; then
    n=$(sed -n 's/^zarvel-decode: path ogg.* \([0-9][0-9]*\) pictures in .*/\1/p' "$log")
    [[ "$n" == "$frames" ]] || { cat "$log" >&2; die "zarvel-decode gave ${n:-no} pictures, ffprobe counts $frames"; }
  fi
  wall[$decoder]+=" $(cat "$timing")"
}


read -r load _ </proc/loadavg
say "$rounds rounds of ${decoders[*]} in turn; load average $load on $(nproc) cores before starting"
say "$(ffmpeg -version | awk 'NR == 1 { print "ffmpeg", $3 }'), libtheora $(dpkg-query -W -f='${Version}' libtheora0 2>/dev/null)"
for ((round = 1; round <= rounds; round++)); do
  for decoder in "${decoders[@]}"; do measure "$decoder"; done
done
rm -f "$log" "$timing"

echo
echo "$clip: 1280x720 30 fps, $frames pictures, $mbits Mbit/s with sound"
printf '  %-12s %8s %12s\n' decoder "wall s" pictures/s
declare -A speed
for decoder in "${decoders[@]}"; do
  w=$(median "${wall[$decoder]}")
  speed[$decoder]=$(awk -v n="$frames" -v w="$w" 'BEGIN { printf "%.1f", n / w }')
  printf '  %-12s %8.3f %12s\n' "$decoder" "$w" "${speed[$decoder]}"
done
ratio() { awk -v a="${speed[$1]}" -v b="${speed[$2]}" 'BEGIN { printf "%.2f", a / b }'; }
echo "  zarvel-pp0/theora_dump $(ratio zarvel-pp0 theora_dump)  zarvel-pp0/ffmpeg $(ratio zarvel-pp0 ffmpeg)" \
  " zarvel/theora_dump $(ratio zarvel theora_dump)  zarvel/ffmpeg $(ratio zarvel ffmpeg)"
echo "  post-processing level 1 costs $(awk -v a="${speed[zarvel-pp0]}" -v b="${speed[zarvel]}" 'BEGIN { printf "%.0f", (a / b - 1) * 100 }')% more time than none"
