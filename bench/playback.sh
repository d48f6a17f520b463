#!/usr/bin/env bash
# Playback as a person gets it, measured in real time (see bench/README.md):
#   1. timing: zarvel --headless on the fixtures and on a 720x576 MPEG-1 clip,
#      how late each picture was shown (built-in clock, or the sound clock of
#      the null sound device for Ogg files with sound);
#   2. cost: zarvel's window and ffplay playing the same clips in real time
#      with SDL's dummy video and audio drivers: CPU seconds per second of
#      media and peak memory, interleaved round by round.
#   bench/playback.sh [--rounds N]     (or BENCH_ROUNDS=N; default 3)
set -euo pipefail

name=playback
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
BENCH_ROUNDS=${BENCH_ROUNDS:-3}
parse_rounds "$@"
out=bench/out
mkdir -p "$out"

install_peers ffmpeg time
player=$(build_copy zarvel) || exit 1

# --- inputs (10 s each, made once) ------------------------------------------------

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
scene() {  # size rate: a zooming fractal blended with a moving test pattern
  echo "mandelbrot=s=$1:r=$2:maxiter=256,scroll=h=0.003:v=0.0015[fractal];
        testsrc2=s=$1:r=$2[pattern];[fractal][pattern]blend=all_mode=average,format=yuv420p[v]"
}
make_mpeg1() {  # file size rate bitrate
  [[ -s "$1" ]] && return
  say "generating $1"
  ff -filter_complex "$(scene "$2" "$3")" -map '[v]' -t 10 -c:v mpeg1video -b:v "$4" -bf 2 -g 15 \
    -threads 1 -flags +bitexact -fflags +bitexact "$1.part.mpg" && mv "$1.part.mpg" "$1"
}
make_ogg() {  # file size rate
  [[ -s "$1" ]] && return
  say "generating $1"
  ff -f lavfi -i "sine=f=440:r=44100:d=10" -filter_complex "$(scene "$2" "$3")" -map '[v]' -map 0:a -ac 2 \
    -t 10 -c:v libtheora -b:v 6M -g 60 -c:a libvorbis -q:a 4 -threads 1 -flags +bitexact -fflags +bitexact \
    "$1.part.ogv" && mv "$1.part.ogv" "$1"
}
sd=$out/play-mpeg1-720x576-25fps.mpg
hd=$out/play-mpeg1-1280x720-30fps.mpg
ogv=$out/play-ogg-1280x720-30fps.ogv
make_mpeg1 "$sd" 720x576 25 5M
make_mpeg1 "$hd" 1280x720 30 8M
make_ogg "$ogv" 1280x720 30

# --- 1. timing ----------------------------------------------------------------------

fixtures=(tests/data/mpg-ibbp-352x240.mpg tests/data/m1v-ibbp-352x240.m1v tests/data/ogg-t-352x240.ogv
          tests/data/mp4-h264-176x120.mp4 tests/data/mp4-vfr-176x120.mp4 tests/data/webm-vp8-177x101.webm
          tests/data/ogg-tv-176x120.ogv samples/demo.ogv "$sd")
echo
echo "1. timing (headless, null sound device): lateness of each shown picture in ms"
printf '  %-40s %6s %6s %6s %6s %7s %7s  %s\n' file path shown early p50 p99 max clock
worst_plain=0 worst_sound=0
for file in "${fixtures[@]}"; do
  json=$out/timing.json
  "$player" --headless --exit-at-end --stats-json "$json" "$file" >/dev/null 2>&1 || die "zarvel failed on $file"
  read -r path shown early p50 p99 max played < <(python3 -c '
import json, sys
s = json.load(open(sys.argv[1]))
l = s["lateness_ms"]
print(s["path"], s["pictures"], s["early_pictures"], l["p50"], l["p99"], l["max"], s["sound"]["blocks_played"])' "$json")
  clock=built-in
  [[ $played -gt 0 ]] && clock=sound
  printf '  %-40s %6s %6s %6s %6.2f %7.2f %7.2f  %s\n' "${file##*/}" "$path" "$shown" "$early" "$p50" "$p99" "$max" "$clock"
  [[ $early == 0 ]] || say "WARNING: $file: $early pictures shown before their time"
  if [[ $clock == sound ]]; then
    worst_sound=$(awk -v a="$worst_sound" -v b="$p99" 'BEGIN { print (b > a) ? b : a }')
  else
    worst_plain=$(awk -v a="$worst_plain" -v b="$p99" 'BEGIN { print (b > a) ? b : a }')
  fi
done
echo "  worst p99: $worst_plain ms with the built-in clock (aim: at most 2), $worst_sound ms with the sound clock (aim: at most 5)"

# --- 2. cost --------------------------------------------------------------------------

export SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy
declare -A cpu mem
measure() {  # player clip
  local cmd
  case "$1" in
    zarvel) cmd=("$player" --exit-at-end "$2") ;;
    ffplay) cmd=(ffplay -hide_banner -loglevel error -nostats -autoexit "$2") ;;
  esac
  /usr/bin/time -f '%U %S %M' -o "$out/cost.time" "${cmd[@]}" >/dev/null 2>&1 </dev/null || die "${cmd[*]}"
  read -r user system kib <"$out/cost.time"
  cpu[$1 $2]+=" $(awk -v u="$user" -v s="$system" 'BEGIN { print (u + s) / 10 }')"
  mem[$1 $2]+=" $(awk -v k="$kib" 'BEGIN { print k / 1024 }')"
}
clips=("$sd" "$hd" "$ogv")
read -r load _ </proc/loadavg
echo
echo "2. cost: $rounds rounds of zarvel and ffplay in turn, real-time playback of 10 s clips with SDL's dummy drivers; load average $load"
for ((round = 1; round <= rounds; round++)); do
  for clip in "${clips[@]}"; do
    for p in zarvel ffplay; do measure "$p" "$clip"; done
  done
done
printf '  %-36s %14s %14s %10s %10s %12s %12s\n' clip "zarvel cpu s/s" "ffplay cpu s/s" "zarvel MiB" "ffplay MiB" "cpu ratio" "memory ratio"
for clip in "${clips[@]}"; do
  zc=$(median "${cpu[zarvel $clip]}") fc=$(median "${cpu[ffplay $clip]}")
  zm=$(median "${mem[zarvel $clip]}") fm=$(median "${mem[ffplay $clip]}")
  printf '  %-36s %14.3f %14.3f %10.1f %10.1f %12.2f %12.2f\n' "${clip##*/}" "$zc" "$fc" "$zm" "$fm" \
    "$(awk -v a="$zc" -v b="$fc" 'BEGIN { print a / b }')" "$(awk -v a="$zm" -v b="$fm" 'BEGIN { print a / b }')"
done
echo "  (ratios are zarvel / ffplay: below 1 means zarvel needs less)"
