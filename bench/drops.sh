#!/usr/bin/env bash
# Drop to first picture (see bench/README.md): the SDL window on an Xvfb
# display is given random drops, each while a file with sound plays, and says
# how long each new file took to show its first picture. Once with a private
# PulseAudio server (a null sink), once with SDL's dummy sound driver.
#   bench/drops.sh [--rounds N]   (or BENCH_ROUNDS=N; N drops a sound driver, default 60)
#   BENCH_SEED=S                  another random order (default 1)
set -euo pipefail

name=drops
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
BENCH_ROUNDS=${BENCH_ROUNDS:-60}
parse_rounds "$@"
seed=${BENCH_SEED:-1}
out=bench/out
mkdir -p "$out"

install_peers ffmpeg xvfb pulseaudio
player=$(build_copy zarvel) || exit 1

# --- inputs: 8 s clips with sound on every path (made once) ---------------------------

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
clip() {  # file, then the encoder options
  local file=$1
  shift
  [[ -s "$file" ]] && return
  say "generating $file"
  ff -f lavfi -i "testsrc2=s=320x240:r=25" -f lavfi -i "sine=f=440:r=44100" -t 8 -ac 2 "$@" \
    -threads 1 -flags +bitexact -fflags +bitexact "$file.part.${file##*.}" && mv "$file.part.${file##*.}" "$file"
}
clip "$out/drop-mpeg1.mpg" -c:v mpeg1video -b:v 1M -bf 2 -c:a mp2 -b:a 128k
clip "$out/drop-ogg.ogv" -c:v libtheora -b:v 1M -c:a libvorbis -q:a 3
clip "$out/drop-h264.mp4" -c:v libx264 -preset veryfast -c:a aac
clip "$out/drop-vp8.webm" -c:v libvpx -b:v 1M -c:a libvorbis -q:a 3
clips=("$out/drop-mpeg1.mpg" "$out/drop-ogg.ogv" "$out/drop-h264.mp4" "$out/drop-vp8.webm")

# --- the script: a file plays, then another is dropped on it ---------------------------

script=$out/drops.script
RANDOM=$seed
{
  echo "timed-drop $PWD/${clips[0]}"
  for ((i = 0; i < rounds; i++)); do
    echo "play-for $((200 + RANDOM % 800))"
    echo "timed-drop $PWD/${clips[RANDOM % ${#clips[@]}]}"
  done
  echo "key alt+x"
} >"$script"

# --- a display and a sound server of this run's own ------------------------------------

run_dir=$(mktemp -d /tmp/zarvel-drops.XXXXXX)
xvfb_pid=
pulse_pid=
cleanup() {
  [[ -n "$pulse_pid" ]] && { kill "$pulse_pid" 2>/dev/null || true; wait "$pulse_pid" 2>/dev/null || true; }
  [[ -n "$xvfb_pid" ]] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$run_dir"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$run_dir/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do [[ -s "$run_dir/display" ]] && break; sleep 0.1; done
[[ -s "$run_dir/display" ]] || die "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$run_dir/display")"
export HOME=$run_dir/home XDG_RUNTIME_DIR=$run_dir/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset PULSE_SERVER
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L module-native-protocol-unix -L "module-null-sink sink_name=nullsink" -L module-always-sink \
  >"$run_dir/pulse.log" 2>&1 &
pulse_pid=$!
for _ in $(seq 1 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || die "PulseAudio did not start"

# --- the runs ------------------------------------------------------------------------

echo
echo "drop to first picture, $rounds drops on a file with sound (seed $seed; 8 s clips: MPEG-1, Ogg, H.264, VP8)"
printf '  %-12s %8s %8s %8s %8s  %s\n' driver drops p50 p90 max "quit after the last drop"
for driver in pulseaudio dummy; do
  log=$out/drops-$driver.log
  started=$(date +%s%N)
  SDL_AUDIODRIVER=$driver SDL_RENDER_DRIVER=software timeout 600 "$player" --script "$script" >"$log" 2>"$out/drops-$driver.err" ||
    { tail -n 5 "$out/drops-$driver.err" >&2; die "the window failed with $driver"; }
  ended=$(date +%s%N)
  times=$(sed -n 's/^zarvel: drop to first picture \([0-9]*\) ms$/\1/p' "$log")
  count=$(grep -c . <<<"$times")
  [[ $count -eq $((rounds + 1)) ]] || die "$driver: $count of $((rounds + 1)) drops showed a picture"
  # The quit: from the last picture's drop line to the end of the process is
  # not measured exactly; the whole run's wall time less the script's own
  # waits and drops says whether closing waited on the sound device.
  p50=$(median "$times")
  p90=$(sort -g <<<"$times" | awk -v n="$count" 'NR == int(n * 0.9 + 0.999) { print }')
  max=$(sort -g <<<"$times" | tail -n 1)
  total_ms=$(( (ended - started) / 1000000 ))
  played_ms=$(awk '/^play-for/ { s += $2 } END { print s }' "$script")
  drops_ms=$(awk '{ s += $1 } END { print s }' <<<"$times")
  printf '  %-12s %8d %8.0f %8s %8s  %s\n' "$driver" "$count" "$p50" "$p90" "$max" \
    "$((total_ms - played_ms - drops_ms)) ms of start-up and quit"
done
echo "  (ms from the drop to the new file's first picture shown)"
