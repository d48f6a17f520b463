#!/usr/bin/env bash
# Picture and sound in step, as a person would hear and see it: files with a
# white flash and a beep at the same instant every second are played headless
# (memory presenter, null sound device, the sound as the clock), and each
# flash's presentation is compared with the play position of its beep. Also a
# file whose sound starts 1.5 s before its pictures and one whose sound starts
# 1 s after them (the beeps follow the flashes, not the start of the sound).
#   bench/sync.sh        (no rounds: one playback per file, in real time)
set -euo pipefail

name=sync
cd "$(dirname "${BASH_SOURCE[0]}")/.."
# shellcheck source=bench/common.sh
. bench/common.sh
out=bench/out
mkdir -p "$out"

install_peers ffmpeg
player=$(build_copy zarvel) || exit 1

# --- inputs: 6 s, a flash (one picture) and a 40 ms beep at every whole second --------

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
flashes() {  # size rate
  echo "color=black:s=$1:r=$2:d=6,drawbox=c=white:t=fill:enable='lt(mod(t\\,1)\\,1/$2)',format=yuv420p"
}
# Sample by sample (aevalsrc), so each beep starts on its exact sample; shifted
# by the given seconds when the sound starts before the pictures.
beeps() {  # rate lead
  echo "aevalsrc='0.5*sin(2*PI*1000*t)*lt(mod(t-$2\\,1)\\,0.04)*gte(t\\,$2)':s=$1:c=stereo:d=$(awk -v l="$2" 'BEGIN { print 6 + l }')"
}
# timing: together; early, the sound 1.5 s before the pictures; late, the
# sound 1 s after them. The sound is the first input (ffmpeg then keeps the
# pictures' offset), and passthrough keeps a late first picture from being
# copied back to the start.
make_clip() {  # file timing ffmpeg-output-options...
  local file=$1 timing=$2 sound pictures=(-f lavfi -i "$(flashes 320x240 25)")
  shift 2
  [[ -s "$file" ]] && return
  case "$timing" in
    together) sound=(-f lavfi -i "$(beeps 48000 0)") ;;
    early) sound=(-f lavfi -i "$(beeps 48000 1.5)") pictures=(-itsoffset 1.5 "${pictures[@]}") ;;
    late) sound=(-itsoffset 1 -f lavfi -i "$(beeps 48000 0)") ;;
  esac
  say "generating $file"
  ff "${sound[@]}" "${pictures[@]}" -map 1:v -map 0:a -fps_mode passthrough "$@" -fflags +bitexact \
    "$file.part.${file##*.}" && mv "$file.part.${file##*.}" "$file"
}

clips=(
  "$out/sync-ogg.ogv"
  "$out/sync-mpeg1-mp2.mpg"
  "$out/sync-mpeg1-mp3.mpg"
  "$out/sync-h264-aac.mp4"
  "$out/sync-vp8-vorbis.webm"
  "$out/sync-h264-flac.mkv"
  "$out/sync-early-h264-aac.mp4"
  "$out/sync-early-mpeg1-mp2.mpg"
  "$out/sync-late-mpeg1-mp2.mpg"
  "$out/sync-late-h264-aac.mp4"
)
make_clip "${clips[0]}" together -c:v libtheora -q:v 7 -c:a libvorbis -q:a 5
make_clip "${clips[1]}" together -c:v mpeg1video -b:v 1M -c:a mp2 -b:a 192k -f mpeg
make_clip "${clips[2]}" together -c:v mpeg1video -b:v 1M -c:a libmp3lame -b:a 192k -f mpeg
make_clip "${clips[3]}" together -c:v libx264 -preset fast -bf 2 -c:a aac -b:a 192k
make_clip "${clips[4]}" together -c:v libvpx -b:v 1M -c:a libvorbis -q:a 5
make_clip "${clips[5]}" together -c:v libx264 -preset fast -c:a flac
make_clip "${clips[6]}" early -c:v libx264 -preset fast -bf 2 -c:a aac -b:a 192k
make_clip "${clips[7]}" early -c:v mpeg1video -b:v 1M -c:a mp2 -b:a 192k -f mpeg
make_clip "${clips[8]}" late -c:v mpeg1video -b:v 1M -c:a mp2 -b:a 192k -f mpeg
make_clip "${clips[9]}" late -c:v libx264 -preset fast -bf 2 -c:a aac -b:a 192k

# --- playback ------------------------------------------------------------------------

echo
echo "headless playback, null sound device: each flash against the nearest beep's play position (ms)"
printf '  %-28s %6s %7s %7s %8s %8s %8s %8s  %s\n' file path flashes beeps offset "mean" "worst" "blocks" verdict
failures=0
# Each clip plays straight through, then the first four again with seeks
# (forward, back, into the first second, while paused) between its flashes.
seek_script=$out/sync-seeks.script
runs=("${clips[@]}" "${clips[@]:0:4}")
for ((run = 0; run < ${#runs[@]}; run++)); do
  clip=${runs[run]}
  log=$out/sync.log json=$out/sync.json
  target=("$clip")
  label=${clip##*/}
  if ((run >= ${#clips[@]})); then
    printf 'drop %s\nplay-for 700\nseek 3.3\nplay-for 1200\nseek 1.55\nplay-for 1100\nkey space\nseek 0.4\n' "$PWD/$clip" >"$seek_script"
    printf 'play-for 200\nkey space\nplay-for 900\nseek 4.7\nwait-end\n' >>"$seek_script"
    target=(--script "$seek_script")
    label="$label, seeks"
  fi
  if ! "$player" --headless --exit-at-end --stats-json "$json" --sync-log "$log" "${target[@]}" >/dev/null 2>"$out/sync.err"; then
    printf '  %-28s %s\n' "$label" "zarvel failed: $(head -n 1 "$out/sync.err")"
    failures=$((failures + 1))
    continue
  fi
  read -r path blocks < <(python3 -c 'import json, sys; s = json.load(open(sys.argv[1])); print(s["path"], s["sound"]["blocks_played"])' "$json")
  # Where the file itself puts its first flash against its first beep, as
  # FFmpeg decodes it (muxers and encoders shift one against the other: an
  # encoder's delay, a B-picture reorder): a player that follows the file's
  # time stamps reproduces that offset, so the error is measured against it.
  ff -i "$clip" -map 0:a -ac 1 -ar 48000 -f wav "$out/sync-ref.wav"
  flash_times=$(ffprobe -v error -f lavfi "movie=$clip,signalstats" -show_entries frame=pts_time:frame_tags=lavfi.signalstats.YAVG \
    -of csv=p=0 | awk -F, '$2 > 128 && !bright { printf "%s ", $1 } { bright = $2 > 128 }')
  audio_start=$(ffprobe -v error -select_streams a -show_entries stream=start_time -of csv=p=0 "$clip")
  offset=$(python3 - "$out/sync-ref.wav" "$flash_times" "$audio_start" <<'PY'
import array, sys, wave
w = wave.open(sys.argv[1])
rate = w.getframerate()
samples = array.array("h")
samples.frombytes(w.readframes(w.getnframes()))
onset = next((i for i, v in enumerate(samples) if abs(v) >= 2048), None)  # the first beep (silence before it)
flashes = [float(t) for t in sys.argv[2].split()]
if onset is None or not flashes:
    print("0")
else:
    beep = float(sys.argv[3]) + onset / rate
    print("%.2f" % (min((f - beep for f in flashes), key=abs) * 1000))
PY
)
  read -r nflash nbeep mean worst < <(python3 - "$log" "$offset" <<'PY'
import sys
flashes, beeps = [], []
offset = float(sys.argv[2])
for line in open(sys.argv[1]):
    kind, ms = line.split()
    (flashes if kind == "flash" else beeps).append(float(ms))
# A flash whose beep, by the file's offset, came before the first picture had
# that beep cut away with the sound before the pictures, and one before the
# sound starts has none: nothing to compare.
measurable = [f for f in flashes if f - offset >= 0 and (not beeps or f - offset > beeps[0] - 500)]
errors = [f - offset - min(beeps, key=lambda b: abs(b - (f - offset))) for f in measurable] if beeps else []
if errors:
    print(len(flashes), len(beeps), "%.2f" % (sum(errors) / len(errors)), "%.2f" % max(errors, key=abs))
else:
    print(len(flashes), len(beeps), "-", "-")
PY
)
  verdict=ok
  if [[ $worst == - ]]; then
    verdict="no sound"
  elif awk -v w="$worst" 'BEGIN { exit !(w > 20 || w < -20) }'; then
    verdict="OUT OF SYNC"
  fi
  [[ $verdict == ok ]] || failures=$((failures + 1))
  printf '  %-28s %6s %7s %7s %8s %8s %8s %8s  %s\n' "$label" "$path" "$nflash" "$nbeep" "$offset" "$mean" "$worst" "$blocks" "$verdict"
done
echo "  (offset: the file's own first flash after its first beep, as FFmpeg decodes it; mean and worst: each flash"
echo "   after its beep, less that offset; aim: every flash within 20 ms)"
[[ $failures -eq 0 ]] || say "$failures file(s) not in sync or without sound"
