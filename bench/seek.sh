#!/usr/bin/env bash
# Seek latency and CPU while paused (see bench/README.md): headless playback
# of 1280x720 clips on each path (MPEG-1 with GOPs of 15, Theora with a
# keyframe every 64 pictures, H.264), driven by a script of random seeks,
# pauses and volume changes. Prints, per path, the seek latency (from the
# command to the first picture shown at its target: p50, max), pictures shown
# early (must be 0), p99 lateness and sound blocks dropped; then the CPU a
# paused player uses, from two runs that differ only by a long pause.
#   bench/seek.sh [--rounds N]   (or BENCH_ROUNDS=N; seeks a path, default 50)
#   BENCH_SEED=S                 another random order (default 1)
set -euo pipefail

name=seek
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
BENCH_ROUNDS=${BENCH_ROUNDS:-50}
parse_rounds "$@"
seed=${BENCH_SEED:-1}
out=bench/out
mkdir -p "$out"

install_peers ffmpeg
player=$(build_copy zarvel) || exit 1

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
clip() {  # file, then the encoder options
  local file=$1
  shift
  [[ -s "$file" ]] && return
  say "generating $file"
  ff -f lavfi -i "testsrc2=s=1280x720:r=25" -f lavfi -i "sine=f=440:r=44100" -t 20 -ac 2 "$@" \
    "$file.part.${file##*.}" && mv "$file.part.${file##*.}" "$file"
}
clip "$out/seek-mpeg1.mpg" -c:v mpeg1video -b:v 4M -g 15 -bf 2 -c:a mp2 -b:a 128k
clip "$out/seek-theora.ogv" -c:v libtheora -b:v 3M -g 64 -c:a libvorbis -q:a 3
clip "$out/seek-h264.mp4" -c:v libx264 -preset veryfast -g 50 -bf 2 -c:a aac

echo
echo "seek latency, $rounds random seeks a path with pauses and volume changes (seed $seed; 1280x720, 20 s)"
printf '  %-8s %6s %8s %8s %6s %8s %8s\n' path seeks p50_ms max_ms early p99_ms dropped
for file in seek-mpeg1.mpg seek-theora.ogv seek-h264.mp4; do
  script=$out/seek-${file%.*}.script
  RANDOM=$seed
  {
    echo "drop $PWD/$out/$file"
    echo "play-for 500"
    for ((i = 0; i < rounds; i++)); do
      echo "seek $((RANDOM % 19)).$((RANDOM % 10))"
      case $((RANDOM % 6)) in
        0) echo "key space"; echo "play-for $((100 + RANDOM % 300))"; echo "key space" ;;
        1) echo "key $([[ $((RANDOM % 2)) -eq 0 ]] && echo 9 || echo 0)" ;;
        2) echo "key left" ;;
      esac
      echo "play-for $((200 + RANDOM % 600))"
    done
    echo "quit"
  } >"$script"
  json=$out/seek-${file%.*}.json
  timeout 600 "$player" --headless --stats-json "$json" --script "$script" >/dev/null 2>"$out/seek-${file%.*}.err" ||
    { tail -n 5 "$out/seek-${file%.*}.err" >&2; die "$file failed"; }
  python3 -c 'import json, sys
s = json.load(open(sys.argv[1])); k = s["seeks"]
print("  %-8s %6d %8.0f %8.0f %6d %8.1f %8d" % (s["path"], k["count"], k["latency_ms"]["p50"], k["latency_ms"]["max"],
      s["early_pictures"], s["lateness_ms"]["p99"], s["sound"]["blocks_dropped"]))' "$json"
done

# CPU while paused: the same run with a pause of 0.5 s and of 10.5 s; what
# the longer one used more, over the 10 s, is the paused player's share.
echo
printf '  %-8s %s\n' path "CPU while paused (share of one core)"
for file in seek-mpeg1.mpg seek-theora.ogv seek-h264.mp4; do
  cpu() {  # pause ms
    printf 'drop %s\nplay-for 1000\nkey space\nplay-for %s\nquit\n' "$PWD/$out/$file" "$1" >"$out/seek-pause.script"
    /usr/bin/time -f '%U %S' "$player" --headless --script "$out/seek-pause.script" 2>&1 >/dev/null | tail -n 1 |
      awk '{ print $1 + $2 }'
  }
  short=$(cpu 500)
  long=$(cpu 10500)
  awk -v s="$short" -v l="$long" -v f="${file%.*}" 'BEGIN { printf "  %-8s %.2f %%\n", substr(f, 6), (l - s) / 10 * 100 }'
done
