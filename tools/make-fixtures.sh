#!/usr/bin/env bash
# Make the synthetic test clips in tests/data/, their reference decodes and
# manifest, and the demo clips in samples/.
#
#   tools/make-fixtures.sh            write into this repository
#   tools/make-fixtures.sh DIR        write into DIR/tests/data and DIR/samples
#
# The output is committed, so every step has to be byte-for-byte repeatable:
# single-threaded codecs, bitexact flags, no metadata, fixed random seeds and
# gzip without names or times. Run it twice into two folders and compare
# checksums after changing anything here.
#
# Needs: ffmpeg/ffprobe (Debian's, with libtheora and libvorbis), openssl,
# gzip, coreutils, python3.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=${1:-$(dirname "$here")}
data=$root/tests/data
samples=$root/samples
mkdir -p "$data" "$samples"
data=$(cd "$data" && pwd)
samples=$(cd "$samples" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

export LC_ALL=C TZ=UTC

ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }
fp() { ffprobe -v error "$@"; }

# Output options for every encode. -threads 1 has to be an output option
# too: with more threads the MPEG encoders cut each picture into one slice
# per thread and the stream depends on the machine's core count.
OUT=(-threads 1 -flags +bitexact -fflags +bitexact -map_metadata -1
     -map_chapters -1 -fps_mode passthrough)

# Drop what an earlier run made, by its manifest, so renamed clips do not
# linger. Anything else in tests/data is left alone.
if [[ -f $data/manifest.tsv ]]; then
    tail -n +2 "$data/manifest.tsv" | while IFS=$'\t' read -r f _ _ _ _ _ _ _ _ y w _; do
        for x in "$f" "$y" "$w"; do
            if [[ $x != - && $x != */* ]]; then rm -f "$data/$x"; fi
        done
    done
    # Native-format decodes are not named in the manifest.
    rm -f "$data"/*.native.y4m.gz
fi

# ---------------------------------------------------------------------------
# Sources: size, rate, picture count. Everything moves, so that P and B
# pictures carry real motion vectors and not only skipped macroblocks.
#
# The count is cut in the source graph (trim) rather than with -frames:v:
# ffmpeg 5.1 closes the whole output once one stream reaches -frames:v, which
# would chop the end off the sound that goes with it.

# testsrc2: moving ball, rotating square, counter.
src_t2() { echo "testsrc2=s=$1:r=$2,trim=end_frame=$3"; }
# testsrc scrolled diagonally: motion over the whole picture.
src_scroll() { echo "testsrc=s=$1:r=$2,scroll=h=0.013:v=0.007,trim=end_frame=$3"; }
# Colour bars with a small test pattern sliding over them.
src_bars() {
    local w=${1%x*} h=${1#*x}
    echo "smptebars=s=$1:r=$2[bg];testsrc=s=48x48:r=$2[fg];[bg][fg]overlay=x='mod(n*5,$((w - 48)))':y='mod(n*3,$((h - 48)))',trim=end_frame=$3[out0]"
}
# Mandelbrot zoom: fine detail that keeps changing.
src_mandel() { echo "mandelbrot=s=$1:r=$2,trim=end_frame=$3"; }

# Sound: two-tone stereo, a beeping mono tone, and 5.1 with a different
# pitch per channel so a swapped channel shows up.
snd_stereo() { echo "aevalsrc=0.4*sin(2*PI*440*t)|0.4*sin(2*PI*660*t):s=$1:c=stereo:d=$2"; }
snd_mono() { echo "sine=f=523:b=4:r=$1:d=$2"; }
snd_51() {
    echo "aevalsrc=0.3*sin(2*PI*300*t)|0.3*sin(2*PI*400*t)|0.3*sin(2*PI*500*t)|0.3*sin(2*PI*60*t)|0.3*sin(2*PI*700*t)|0.3*sin(2*PI*800*t):s=$1:c=5.1:d=$2"
}

# Deterministic "random" bytes: AES-CTR keystream under a fixed key.
randbytes() { # n key-byte
    head -c "$1" /dev/zero | openssl enc -aes-128-ctr -nosalt \
        -K "$(printf '%032x' "$2")" -iv 00000000000000000000000000000000
}

# ---------------------------------------------------------------------------
# Manifest and reference decodes.

manifest=$tmp/manifest.tsv
printf 'file\tkind\twidth\theight\tframe_rate\tframes\tchroma\taudio_channels\taudio_rate\tref_y4m\tref_wav\tnote\n' >"$manifest"

probe() { # file stream entry -> value or empty
    fp -select_streams "$2" -show_entries "stream=$3" -of default=nw=1:nk=1 "$1" | sed -n 1p
}

chroma_of() {
    case $1 in
        yuv420p | yuvj420p | yuv420p10le) echo 420 ;;
        yuv422p | yuvj422p) echo 422 ;;
        yuv444p | yuvj444p) echo 444 ;;
        rgb24 | bgra | pal8) echo rgb ;;
        *) echo "unknown pixel format $1" >&2; exit 1 ;;
    esac
}

# Reference decode of the first video stream as gzipped Y4M. Every decoded
# picture is written once (passthrough), nothing dropped or repeated. Theora
# is the exception: a zero-length packet there means "show the last picture
# again", and ffmpeg's decoder outputs nothing for it, so Ogg clips go
# through the fps filter, which repeats the previous picture in the gap as a
# player would. (-fps_mode cfr is not used because it fills such a gap with
# the following picture instead.)
ref_y4m() { # clip pixfmt out.y4m.gz filter -> prints picture count
    local y=$tmp/ref.y4m
    ff -threads 1 -flags +bitexact -i "$1" -map 0:v:0 -vf "$4" -fps_mode passthrough \
        -sws_flags bicubic+accurate_rnd+bitexact -pix_fmt "$2" \
        -threads 1 -fflags +bitexact -flags +bitexact -map_metadata -1 \
        -f yuv4mpegpipe "$y"
    fp -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
        -of default=nw=1:nk=1 "$y"
    gzip -9n -c "$y" >"$3"
    rm -f "$y"
}

# Reference decode of the first sound stream as 16-bit PCM WAV. Kept plain
# when small; anything over 256 KiB is gzipped (.wav.gz).
ref_wav() { # clip out-stem [extra options...] -> prints file name
    local clip=$1 stem=$2
    shift 2
    ff -threads 1 -flags +bitexact -i "$clip" -map 0:a:0 "$@" -c:a pcm_s16le \
        -threads 1 -fflags +bitexact -flags +bitexact -map_metadata -1 \
        -f wav "$tmp/ref.wav"
    if (($(stat -c %s "$tmp/ref.wav") > 262144)); then
        gzip -9n -c "$tmp/ref.wav" >"$data/$stem.wav.gz"
        echo "$stem.wav.gz"
    else
        cp "$tmp/ref.wav" "$data/$stem.wav"
        echo "$stem.wav"
    fi
    rm -f "$tmp/ref.wav"
}

# Add a clip: make its reference decodes and its manifest row.
clip() { # file kind note
    local f=$1 kind=$2 note=$3 p=$data/$1 stem=${1%.*}
    local w=0 h=0 rate=0/0 frames=0 chroma=- ch=0 ar=0 y=- wv=-
    if [[ -n $(probe "$p" v:0 codec_type) ]]; then
        w=$(probe "$p" v:0 width)
        h=$(probe "$p" v:0 height)
        rate=$(probe "$p" v:0 r_frame_rate)
        local pix
        pix=$(probe "$p" v:0 pix_fmt)
        chroma=$(chroma_of "$pix")
        local vf=null
        if [[ $kind == ogg ]]; then vf=fps=$rate; fi
        y=$stem.y4m.gz
        frames=$(ref_y4m "$p" yuv420p "$data/$y" "$vf")
        if [[ $chroma == 422 || $chroma == 444 ]]; then
            # Also keep the decoder's own format, so chroma can be checked
            # without a conversion in between (yuvj formats stay full range).
            ref_y4m "$p" "$pix" "$data/$stem.native.y4m.gz" "$vf" >/dev/null
        fi
    fi
    if [[ -n $(probe "$p" a:0 codec_type) ]]; then
        ch=$(probe "$p" a:0 channels)
        ar=$(probe "$p" a:0 sample_rate)
        wv=$(ref_wav "$p" "$stem")
    fi
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' \
        "$f" "$kind" "$w" "$h" "$rate" "$frames" "$chroma" "$ch" "$ar" "$y" "$wv" "$note" >>"$manifest"
}

bad() { # file note
    printf '%s\tbad\t0\t0\t0/0\t0\t-\t0\t0\t-\t-\t%s\n' "$1" "$2" >>"$manifest"
}

# ---------------------------------------------------------------------------
# MPEG-1 video elementary streams.

m1v() { # out source [encoder options...]
    local out=$1 src=$2
    shift 2
    ff -f lavfi -i "$src" -pix_fmt yuv420p \
        -c:v mpeg1video "$@" "${OUT[@]}" -f mpeg1video "$data/$out"
}
# ffmpeg does not close the stream with a sequence end code. Most clips get
# one added, as a well-formed stream has; a few are left without, because
# files like that are common and the last picture must still come out.
endcode() { printf '\x00\x00\x01\xb7' >>"$data/$1"; }

m1v m1v-intra-176x120.m1v "$(src_t2 176x120 25 16)" -g 1 -q:v 4
endcode m1v-intra-176x120.m1v
clip m1v-intra-176x120.m1v mpeg1-es "I only, q4, 25 fps; sequence end code"

m1v m1v-ip-176x120.m1v "$(src_mandel 176x120 30000/1001 24)" -g 12 -bf 0 -q:v 6
clip m1v-ip-176x120.m1v mpeg1-es "IPPP, GOP 12, q6, 29.97 fps; no sequence end code"

m1v m1v-ibbp-176x120.m1v "$(src_t2 176x120 24000/1001 24)" -g 12 -bf 2 -q:v 2
endcode m1v-ibbp-176x120.m1v
clip m1v-ibbp-176x120.m1v mpeg1-es "IBBP, GOP 12, q2 (fine), 23.976 fps; sequence end code"

m1v m1v-ibbbp-176x120.m1v "$(src_bars 176x120 24 24)" -g 16 -bf 3 -q:v 12
endcode m1v-ibbbp-176x120.m1v
clip m1v-ibbbp-176x120.m1v mpeg1-es "IBBBP, GOP 16, q12 (coarse), 24 fps; sequence end code"

m1v m1v-gop6-176x120.m1v "$(src_scroll 176x120 50 30)" -g 6 -bf 2 -b:v 300k
clip m1v-gop6-176x120.m1v mpeg1-es "IBBP, GOPs of 6, open after the first, 300 kbit/s, 50 fps; no sequence end code"

m1v m1v-cgop-176x120.m1v "$(src_t2 176x120 60 24)" -g 8 -bf 1 -flags +cgop -sc_threshold 1000000000 -q:v 8
endcode m1v-cgop-176x120.m1v
clip m1v-cgop-176x120.m1v mpeg1-es "IBP, closed GOPs of 8, q8, 60 fps; sequence end code"

# Custom matrices, given in raster order; the intra DC entry must stay 8.
intra=() inter=()
for y in 0 1 2 3 4 5 6 7; do
    for x in 0 1 2 3 4 5 6 7; do
        intra+=($((8 + 3 * (x + y) + (x * y) / 4)))
        inter+=($((12 + 2 * (x + y))))
    done
done
intra[0]=8
imat=$(IFS=,; echo "${intra[*]}")
pmat=$(IFS=,; echo "${inter[*]}")
m1v m1v-matrix-176x120.m1v "$(src_t2 176x120 25 20)" -g 10 -bf 2 -q:v 6 \
    -intra_matrix "$imat" -inter_matrix "$pmat"
endcode m1v-matrix-176x120.m1v
clip m1v-matrix-176x120.m1v mpeg1-es "IBBP, GOP 10, custom intra and inter matrices, q6, 25 fps; sequence end code"

m1v m1v-ibbp-352x240.m1v "$(src_t2 352x240 30 13)" -g 12 -bf 2 -q:v 5
endcode m1v-ibbp-352x240.m1v
clip m1v-ibbp-352x240.m1v mpeg1-es "IBBP, GOP 12, q5, 30 fps; sequence end code"

m1v m1v-ip-352x240.m1v "$(src_bars 352x240 25 12)" -g 12 -bf 0 -b:v 1150k
endcode m1v-ip-352x240.m1v
clip m1v-ip-352x240.m1v mpeg1-es "IPPP, GOP 12, 1150 kbit/s, 25 fps; sequence end code"

m1v m1v-ibbp-360x240.m1v "$(src_scroll 360x240 60000/1001 12)" -g 6 -bf 2 -q:v 7
clip m1v-ibbp-360x240.m1v mpeg1-es "IBBP, GOP 6, width not a multiple of 16, q7, 59.94 fps; no sequence end code"

# ---------------------------------------------------------------------------
# MPEG-1 system streams with MP2 sound.

mpg() { # out fmt video-source audio-source [encoder options...]
    local out=$1 fmt=$2 vsrc=$3 asrc=$4
    shift 4
    ff -f lavfi -i "$vsrc" -f lavfi -i "$asrc" -map 0:v -map 1:a \
        -pix_fmt yuv420p "$@" -c:a mp2 "${OUT[@]}" -f "$fmt" "$data/$out"
}

mpg mpg-ip-176x120.mpg mpeg "$(src_t2 176x120 25 25)" "$(snd_mono 44100 1)" \
    -c:v mpeg1video -g 12 -bf 0 -q:v 5 -b:a 64k
clip mpg-ip-176x120.mpg mpeg1-ps "IPPP, GOP 12, q5, 25 fps; MP2 mono 64 kbit/s"

mpg mpg-ibbp-352x240.mpg mpeg "$(src_t2 352x240 30000/1001 16)" "$(snd_stereo 48000 0.55)" \
    -c:v mpeg1video -g 9 -bf 2 -q:v 6 -b:a 192k
clip mpg-ibbp-352x240.mpg mpeg1-ps "IBBP, GOP 9, q6, 29.97 fps; MP2 stereo 192 kbit/s"

# Layer III sound (FFmpeg's MPEG muxer carries MP3 as an MPEG audio stream).
ff -f lavfi -i "$(src_t2 176x120 25 25)" -f lavfi -i "$(snd_stereo 44100 1)" -map 0:v -map 1:a \
    -pix_fmt yuv420p -c:v mpeg1video -g 12 -bf 2 -q:v 5 -c:a libmp3lame -b:a 96k "${OUT[@]}" \
    -f mpeg "$data/mpg-mp3-176x120.mpg"
clip mpg-mp3-176x120.mpg mpeg1-ps "IBBP, GOP 12, q5, 25 fps; MP3 (layer III) stereo 96 kbit/s"

# Sound that starts 0.4 s before the first picture (the pictures' stamps are
# moved on), and is the first stream of the file.
ff -itsoffset 0.4 -f lavfi -i "$(src_t2 96x64 25 15)" -f lavfi -i "$(snd_mono 32000 1)" -map 0:v -map 1:a \
    -pix_fmt yuv420p -c:v mpeg1video -g 6 -bf 2 -q:v 5 -c:a mp2 -b:a 64k "${OUT[@]}" \
    -f mpeg "$data/mpg-soundfirst-96x64.mpg"
clip mpg-soundfirst-96x64.mpg mpeg1-ps "IBBP, GOP 6, 25 fps; MP2 mono 32 kHz starting 0.4 s before the first picture"

# ---------------------------------------------------------------------------
# MPEG-2, which the MPEG-1 decoder has to refuse.

ff -f lavfi -i "$(src_t2 176x120 25 12)" -pix_fmt yuv420p \
    -c:v mpeg2video -g 12 -bf 2 -q:v 5 "${OUT[@]}" -f mpeg2video "$data/m2v-176x120.m2v"
clip m2v-176x120.m2v mpeg2-es "MPEG-2 video (sequence extension follows the sequence header), IBBP, 25 fps"

mpg mpeg2-ps-176x120.mpg vob "$(src_t2 176x120 25 12)" "$(snd_stereo 48000 0.5)" \
    -c:v mpeg2video -g 12 -bf 2 -q:v 5 -b:a 128k
clip mpeg2-ps-176x120.mpg mpeg2-ps "MPEG-2 program stream (VOB muxer, pack header marker bits 01), MPEG-2 video IBBP + MP2 stereo"

# ---------------------------------------------------------------------------
# Ogg Theora / Vorbis. Serial numbers come from the stream index under
# bitexact; the offset keeps them away from zero and apart per file.

ogg() { # out serial video-source audio-source [options...]
    local out=$1 serial=$2 vsrc=$3 asrc=$4
    shift 4
    local in=() map=() i=0
    if [[ -n $vsrc ]]; then in+=(-f lavfi -i "$vsrc"); map+=(-map "$((i++)):v"); fi
    if [[ -n $asrc ]]; then in+=(-f lavfi -i "$asrc"); map+=(-map "$((i++)):a"); fi
    ff "${in[@]}" "${map[@]}" "$@" "${OUT[@]}" -serial_offset "$serial" -f ogg "$data/$out"
}

ogg ogg-tv-176x120.ogv 1000 "$(src_t2 176x120 25 25)" "$(snd_stereo 44100 1)" \
    -pix_fmt yuv420p -c:v libtheora -q:v 6 -c:a libvorbis -q:a 3
clip ogg-tv-176x120.ogv ogg "Theora q6 25 fps + Vorbis stereo 44.1 kHz"

ogg ogg-t-352x240.ogv 2000 "$(src_bars 352x240 30 12)" "" \
    -pix_fmt yuv420p -c:v libtheora -q:v 7 -g 6
clip ogg-t-352x240.ogv ogg "Theora only, q7, keyframe every 6, 30 fps"

ogg ogg-v-stereo.ogg 3000 "" "$(snd_stereo 48000 1.5)" -c:a libvorbis -q:a 4
clip ogg-v-stereo.ogg ogg "Vorbis only, stereo 48 kHz"

ogg ogg-tv-mono-176x120.ogv 4000 "$(src_mandel 176x120 24 24)" "$(snd_mono 22050 1)" \
    -pix_fmt yuv420p -c:v libtheora -q:v 5 -c:a libvorbis -q:a 2
clip ogg-tv-mono-176x120.ogv ogg "Theora q5 24 fps + Vorbis mono 22.05 kHz; picture 2 is a zero-length packet (repeat of picture 1)"

ogg ogg-t-180x100.ogv 5000 "$(src_t2 180x100 25 20)" "" \
    -pix_fmt yuv420p -c:v libtheora -q:v 6
clip ogg-t-180x100.ogv ogg "Theora, picture 180x100 inside a 192x112 frame"

ogg ogg-t-330x190.ogv 6000 "$(src_scroll 330x190 25 10)" "" \
    -pix_fmt yuv420p -c:v libtheora -q:v 5
clip ogg-t-330x190.ogv ogg "Theora, picture 330x190 inside a 336x192 frame"

ogg ogg-t422-176x120.ogv 7000 "$(src_t2 176x120 25 16)" "" \
    -pix_fmt yuv422p -c:v libtheora -q:v 6
clip ogg-t422-176x120.ogv ogg "Theora 4:2:2; also a native 4:2:2 reference"

ogg ogg-t444-176x120.ogv 8000 "$(src_bars 176x120 25 16)" "" \
    -pix_fmt yuv444p -c:v libtheora -q:v 6
clip ogg-t444-176x120.ogv ogg "Theora 4:4:4; also a native 4:4:4 reference"

ogg ogg-tv51-176x120.ogv 9000 "$(src_t2 176x120 25 20)" "$(snd_51 48000 0.8)" \
    -pix_fmt yuv420p -c:v libtheora -q:v 4 -c:a libvorbis -q:a 1
clip ogg-tv51-176x120.ogv ogg "Theora q4 + Vorbis 5.1 48 kHz; stereo down-mix reference too"
ref_wav "$data/ogg-tv51-176x120.ogv" ogg-tv51-176x120.stereo -ac 2 >/dev/null

# ---------------------------------------------------------------------------
# Other containers, for the FFmpeg path.

ff -f lavfi -i "$(src_t2 176x120 25 25)" -f lavfi -i "$(snd_stereo 44100 1)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v mpeg4 -q:v 4 -bf 1 \
    -c:a aac -b:a 96k "${OUT[@]}" -f mp4 "$data/mp4-176x120.mp4"
clip mp4-176x120.mp4 ffmpeg "MPEG-4 part 2 video + AAC stereo"

# Sound first, so nothing can assume the video is stream 0.
ff -f lavfi -i "$(src_scroll 176x120 25 25)" -f lavfi -i "$(snd_stereo 48000 1)" \
    -map 1:a -map 0:v -pix_fmt yuv420p -c:v libx264 -preset veryfast \
    -crf 28 -c:a libvorbis -q:a 2 "${OUT[@]}" -f matroska "$data/mkv-audiofirst-176x120.mkv"
clip mkv-audiofirst-176x120.mkv ffmpeg "stream 0 is Vorbis stereo, stream 1 is H.264"

ff -f lavfi -i "$(src_bars 176x120 25 20)" -f lavfi -i "$(snd_mono 22050 0.8)" \
    -map 0:v -map 1:a -pix_fmt yuvj422p -c:v mjpeg -q:v 5 \
    -c:a pcm_s16le "${OUT[@]}" -f avi "$data/avi-mjpeg422-176x120.avi"
clip avi-mjpeg422-176x120.avi ffmpeg "MJPEG 4:2:2 full range (yuvj422p) + PCM mono; native yuvj422p reference too"

ff -f lavfi -i "$(src_t2 176x120 25 25)" -f lavfi -i "$(snd_stereo 44100 1)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 \
    -c:a aac -b:a 96k "${OUT[@]}" -f mp4 "$data/mp4-h264-176x120.mp4"
clip mp4-h264-176x120.mp4 ffmpeg "H.264 with B pictures + AAC stereo"

# An odd picture size: the 4:2:0 chroma of the last column and row.
ff -f lavfi -i "$(src_scroll 177x101 30 30)" -f lavfi -i "$(snd_stereo 48000 1)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v libvpx -b:v 300k -deadline good -cpu-used 4 \
    -c:a libvorbis -q:a 2 "${OUT[@]}" -f webm "$data/webm-vp8-177x101.webm"
clip webm-vp8-177x101.webm ffmpeg "VP8 at an odd size + Vorbis stereo"

# Lossless sound, so a comparison shows the path's own conversion only; and
# the same sound as FFmpeg resamples it to 48 kHz, for a device that asks so.
ff -f lavfi -i "$(src_t2 96x64 25 25)" -f lavfi -i "$(snd_stereo 44100 1)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 \
    -c:a flac "${OUT[@]}" -f matroska "$data/mkv-flac-96x64.mkv"
clip mkv-flac-96x64.mkv ffmpeg "H.264 + FLAC stereo 44.1 kHz; .48000.wav is the sound resampled to 48 kHz"
ref_wav "$data/mkv-flac-96x64.mkv" mkv-flac-96x64.48000 -ar 48000 >/dev/null

# Sound that starts 1.5 s before the pictures: a player cuts it to the
# pictures' start (and the sync benchmark measures it).
ff -f lavfi -i "$(snd_mono 22050 2.5)" -itsoffset 1.5 -f lavfi -i "$(src_t2 96x64 25 25)" \
    -map 1:v -map 0:a -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 \
    -c:a aac -b:a 32k "${OUT[@]}" -f mp4 "$data/mp4-earlysound-96x64.mp4"
clip mp4-earlysound-96x64.mp4 ffmpeg "H.264 from 1.5 s + AAC mono from 0 s: the sound starts 1.5 s before the pictures"

# A variable picture rate, as phones and screen recorders write: 20 pictures
# 50 ms apart, then 20 pictures 20 ms apart. The stream's own time stamps are
# kept beside it (NAME.times, seconds, one a line, in display order).
ff -f lavfi -i "testsrc2=s=176x120:r=50,trim=end_frame=40,settb=1/1000,setpts='if(lt(N,20),N*50,1000+(N-20)*20)'" \
    -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 -threads 1 -flags +bitexact -fflags +bitexact \
    -map_metadata -1 -fps_mode vfr -video_track_timescale 1000 -f mp4 "$data/mp4-vfr-176x120.mp4"
fp -select_streams v:0 -show_entries frame=best_effort_timestamp_time -of csv=p=0 \
    "$data/mp4-vfr-176x120.mp4" | tr -d ',' >"$data/mp4-vfr-176x120.times"
clip mp4-vfr-176x120.mp4 ffmpeg "H.264, variable rate: 20 pictures 50 ms apart, 20 pictures 20 ms apart"

# Picture formats that are not 8-bit 4:2:0: converted on the way in.
ff -f lavfi -i "$(src_t2 176x120 25 10)" -pix_fmt yuv420p10le -c:v libx264 -preset veryfast \
    -crf 28 "${OUT[@]}" -f matroska "$data/mkv-h264-10bit-176x120.mkv"
clip mkv-h264-10bit-176x120.mkv ffmpeg "H.264 High 10, 10-bit 4:2:0"
ff -f lavfi -i "$(src_bars 176x120 25 10)" -pix_fmt yuv444p -c:v libx264 -preset veryfast \
    -crf 28 "${OUT[@]}" -f matroska "$data/mkv-h264-444-176x120.mkv"
clip mkv-h264-444-176x120.mkv ffmpeg "H.264 High 4:4:4"
ff -f lavfi -i "$(src_scroll 176x120 25 10)" -pix_fmt yuv422p -c:v libx264 -preset veryfast \
    -crf 28 "${OUT[@]}" -f matroska "$data/mkv-h264-422-176x120.mkv"
clip mkv-h264-422-176x120.mkv ffmpeg "H.264 High 4:2:2, limited range"
ff -f lavfi -i "$(src_t2 176x120 10 10)" -c:v gif "${OUT[@]}" -f gif "$data/gif-176x120.gif"
clip gif-176x120.gif ffmpeg "animated GIF (decoded as packed BGRA)"
ff -f lavfi -i "$(src_t2 96x64 10 8),format=rgb24" -pix_fmt pal8 -c:v png "${OUT[@]}" \
    -f matroska "$data/mkv-png-pal8-96x64.mkv"
clip mkv-png-pal8-96x64.mkv ffmpeg "PNG pictures with a palette (pal8)"

# The picture size changes mid-stream (two transport streams back to back);
# FFmpeg scales the second part to the first size, and so must we.
ff -f lavfi -i "$(src_t2 176x120 25 10)" -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 \
    "${OUT[@]}" -f mpegts "$tmp/first.ts"
ff -f lavfi -i "$(src_scroll 128x96 25 10)" -pix_fmt yuv420p -c:v libx264 -preset veryfast -crf 28 \
    "${OUT[@]}" -f mpegts "$tmp/second.ts"
cat "$tmp/first.ts" "$tmp/second.ts" >"$data/ts-resize-176x120.ts"
clip ts-resize-176x120.ts ffmpeg "H.264 in MPEG-TS, 176x120 then 128x96"

# Sound only: no path plays these. The MP3 carries a cover picture, which is
# not a video stream.
ff -f lavfi -i "$(snd_mono 22050 1)" -c:a aac -b:a 48k "${OUT[@]}" -f mp4 "$data/m4a-sound-only.m4a"
clip m4a-sound-only.m4a audio-only "AAC mono, no video"
ff -f lavfi -i "$(snd_mono 22050 1)" -f lavfi -i "testsrc2=s=64x64:r=1,trim=end_frame=1" \
    -map 0:a -map 1:v -c:a libmp3lame -b:a 32k -c:v png -disposition:v:0 attached_pic \
    "${OUT[@]}" -f mp3 "$data/mp3-cover.mp3"
clip mp3-cover.mp3 audio-only "MP3 mono with an attached cover picture"

# ---------------------------------------------------------------------------
# Real-world MPEG-1 and Ogg files: what other muxers and damage leave in
# files that FFmpeg still plays. Hand-made bytes come from small Python
# steps; every reference is FFmpeg's decode of the very same file.

# Video CD layout: 2324-byte sectors, padding packets, one system header per
# stream, 20 zero bytes after each sound packet and all-zero sectors. The
# sector rate is fixed, so the clips are kept short and small.
vcd() { # out target rate
    # The muxer's buffer warnings are expected at this low rate: fatal only.
    ff -loglevel fatal -f lavfi -i "$(src_t2 176x120 "$3" 6)" -f lavfi -i "$(snd_mono 44100 0.24)" \
        -target "$2" -s:v 176x120 -b:v 300k -minrate:v 300k -maxrate:v 300k -bufsize:v 100k \
        -b:a 64k -muxdelay 0.1 -muxpreload 0.1 "${OUT[@]}" "$data/$1"
}
vcd mpg-vcd-ntsc-176x120.mpg ntsc-vcd 30000/1001
clip mpg-vcd-ntsc-176x120.mpg mpeg1-ps "ffmpeg -target ntsc-vcd at 176x120: 2324-byte sectors, zero runs, padding, two partial system headers; IBBP, 29.97 fps"
vcd mpg-vcd-pal-176x120.mpg pal-vcd 25
clip mpg-vcd-pal-176x120.mpg mpeg1-ps "ffmpeg -target pal-vcd at 176x120: 2324-byte sectors, zero runs, padding, two partial system headers; IBBP, 25 fps"

# Edits by byte offset, in Python: rw_py SCRIPT ARGS...
rw_py() { python3 -c "$@"; }

randbytes 3000 3 >"$tmp/junk.bin"

# An elementary stream for the hand-muxed system streams below.
ff -f lavfi -i "$(src_t2 96x64 25 7)" -pix_fmt yuv420p -c:v mpeg1video -g 6 -bf 2 -q:v 5 \
    "${OUT[@]}" -f mpeg1video "$tmp/rw.m1v"
# A system stream around one elementary stream: MPEG-1 packs and a system
# header naming stream 0xE0. Mode "large": the first packet has the largest
# length there is (65535), its payload filled with zero stuffing before the
# second picture; mode "empty": a packet of length 0 and one of header bytes
# only after every video packet.
psmux() { # es out mode
    rw_py '
import sys
es, out, mode = open(sys.argv[1], "rb").read(), sys.argv[2], sys.argv[3]
pack = b"\x00\x00\x01\xba\x21\x00\x01\x00\x01" + ((1 << 23) | (2520 << 1) | 1).to_bytes(3, "big")
sysh = b"\x00\x00\x01\xbb\x00\x09\x80\x13\xb1\x04\xe1\xff\xe0\xe0\x2e"
def packet(payload, header=b"\x0f"):
    body = header + payload
    return b"\x00\x00\x01\xe0" + len(body).to_bytes(2, "big") + body
o = bytearray(pack + sysh)
rest = es
if mode == "large":
    second = es.index(b"\x00\x00\x01\x00", es.index(b"\x00\x00\x01\x00") + 4)
    first = es[:second]
    o += packet(first + bytes(65535 - 1 - len(first)))
    rest = es[second:]
for i in range(0, len(rest), 1000):
    o += pack + packet(rest[i:i + 1000])
    if mode == "empty":
        o += b"\x00\x00\x01\xe0\x00\x00" + packet(b"", b"\xff\xff\x0f")
o += b"\x00\x00\x01\xb9"
open(out, "wb").write(o)
' "$1" "$2" "$3"
}
psmux "$tmp/rw.m1v" "$tmp/plain.mpg" plain
# Junk between packs: pseudo-random bytes (no 00 00 01 in them) before every
# second pack.
rw_py '
import sys
src, junk, out = sys.argv[1:4]
d = open(src, "rb").read()
j = open(junk, "rb").read().replace(b"\x00", b"\x5a")
packs = [i for i in range(len(d)) if d.startswith(b"\x00\x00\x01\xba", i)]
o, last, k = bytearray(), 0, 0
for n, p in enumerate(packs):
    if n % 2 == 1:
        o += d[last:p] + j[k:k + 100 + 37 * (n % 5)]
        k += 100 + 37 * (n % 5)
        last = p
o += d[last:]
open(out, "wb").write(o)
' "$tmp/plain.mpg" "$tmp/junk.bin" "$data/mpg-junk-96x64.mpg"
clip mpg-junk-96x64.mpg mpeg1-ps "hand-muxed: 100 to 250 junk bytes before every second pack; IBBP, 25 fps"
psmux "$tmp/rw.m1v" "$data/mpg-largepacket-96x64.mpg" large
clip mpg-largepacket-96x64.mpg mpeg1-ps "hand-muxed: the first video packet has length 65535 (zero stuffing before the second picture); IBBP, 25 fps"
psmux "$tmp/rw.m1v" "$data/mpg-emptypackets-96x64.mpg" empty
clip mpg-emptypackets-96x64.mpg mpeg1-ps "hand-muxed: a video packet of length 0 and one without payload after every video packet; IBBP, 25 fps"

# Zero stuffing before the first sequence header.
{ head -c 6 /dev/zero; cat "$tmp/rw.m1v"; } >"$data/m1v-zeros-96x64.m1v"
clip m1v-zeros-96x64.m1v mpeg1-es "six zero bytes before the first sequence header; IBBP, 25 fps"

# User data after sequence, GOP and picture headers, extension data after
# sequence and picture headers (extension id 0, not an MPEG-2 one).
rw_py '
import sys
d, out = open(sys.argv[1], "rb").read(), sys.argv[2]
user = b"\x00\x00\x01\xb2user data from another encoder"
ext = b"\x00\x00\x01\xb5\x02extension data"
codes = [i for i in range(len(d) - 3) if d.startswith(b"\x00\x00\x01", i)]
o, last, previous = bytearray(), 0, None
for c in codes:
    code = d[c + 3]
    add = b""
    if previous == 0xB3 and code != 0xB5: add = ext + user
    elif previous == 0xB8: add = user
    elif previous == 0x00 and code == 0x01: add = ext + user
    o += d[last:c] + add
    last, previous = c, code
o += d[last:]
open(out, "wb").write(o)
' "$tmp/rw.m1v" "$data/m1v-userdata-96x64.m1v"
clip m1v-userdata-96x64.m1v mpeg1-es "user data after every sequence, GOP and picture header, extension data after sequence and picture headers; IBBP, 25 fps"

# A sequence header before every closed GOP, with matrices that change
# from one GOP to the next: GOPs taken in turn from two encodes.
mats() { # intra-step inter-step -> "intra inter"
    local i=() p=() x y
    for y in 0 1 2 3 4 5 6 7; do
        for x in 0 1 2 3 4 5 6 7; do
            i+=($((8 + $1 * (x + y)))) p+=($((16 + $2 * (x + y))))
        done
    done
    i[0]=8
    echo "$(IFS=,; echo "${i[*]}") $(IFS=,; echo "${p[*]}")"
}
for v in a b; do
    if [[ $v == a ]]; then read -r im pm < <(mats 2 1); else read -r im pm < <(mats 5 3); fi
    ff -f lavfi -i "$(src_scroll 96x64 25 12)" -pix_fmt yuv420p -c:v mpeg1video -g 4 -bf 1 \
        -flags +cgop -sc_threshold 1000000000 -q:v 6 -intra_matrix "$im" -inter_matrix "$pm" \
        "${OUT[@]}" -f mpeg1video "$tmp/mat-$v.m1v"
done
rw_py '
import sys
a, b = (open(f, "rb").read() for f in sys.argv[1:3])
def gops(d):
    s = [i for i in range(len(d) - 3) if d.startswith(b"\x00\x00\x01\xb3", i)] + [len(d)]
    return [d[s[k]:s[k + 1]] for k in range(len(s) - 1)]
ga, gb = gops(a), gops(b)
assert len(ga) == len(gb) > 2, (len(ga), len(gb))
open(sys.argv[3], "wb").write(b"".join(gb[k] if k % 2 else ga[k] for k in range(len(ga))) + b"\x00\x00\x01\xb7")
' "$tmp/mat-a.m1v" "$tmp/mat-b.m1v" "$data/m1v-newmatrix-96x64.m1v"
clip m1v-newmatrix-96x64.m1v mpeg1-es "sequence header before every closed GOP of 4, intra and inter matrices changing each time; 25 fps"

# Open GOPs of 4 (I B P B, the first B of each GOP after the first predicted
# from the GOP before).
ff -f lavfi -i "$(src_scroll 96x64 50 12)" -pix_fmt yuv420p -c:v mpeg1video -g 4 -bf 1 \
    -sc_threshold 1000000000 -q:v 5 "${OUT[@]}" -f mpeg1video "$tmp/open.m1v"
# Cut at an open GOP: the stream starts at its second GOP, whose first B
# pictures refer to a picture that is not there.
rw_py '
import sys
d = open(sys.argv[1], "rb").read()
s = [i for i in range(len(d) - 3) if d.startswith(b"\x00\x00\x01\xb3", i)]
open(sys.argv[2], "wb").write(d[s[1]:])
' "$tmp/open.m1v" "$data/m1v-opencut-96x64.m1v"
clip m1v-opencut-96x64.m1v mpeg1-es "open GOPs of 4 from the second GOP on: its first B picture lacks its forward reference; 50 fps"

# A broken link: the third GOP of an open-GOP stream says its first B
# pictures cannot be decoded (as after an edit).
rw_py '
import sys
d = bytearray(open(sys.argv[1], "rb").read())
g = [i for i in range(len(d) - 3) if d.startswith(b"\x00\x00\x01\xb8", i)]
d[g[2] + 7] |= 0x20
open(sys.argv[2], "wb").write(d)
' "$tmp/open.m1v" "$data/m1v-brokenlink-96x64.m1v"
clip m1v-brokenlink-96x64.m1v mpeg1-es "open GOPs of 4, broken_link set in the third GOP header; 50 fps"

# ffmpeg's VOB muxer with MPEG-1 video writes MPEG-2 packs: a program
# stream, which the MPEG-1 path leaves to FFmpeg.
ff -f lavfi -i "$(src_t2 96x64 25 6)" -pix_fmt yuv420p -c:v mpeg1video -g 6 -bf 2 -q:v 5 \
    "${OUT[@]}" -f vob "$data/mpeg2-ps-m1v-96x64.mpg"
clip mpeg2-ps-m1v-96x64.mpg mpeg2-ps "VOB muxer (MPEG-2 pack headers) around MPEG-1 video IBBP"

# Ogg damage, on a short Theora + Vorbis clip.
# Pages of 0.2 s, so that the sound has several and losing one leaves the rest.
ogg rw-tv.ogv 9500 "$(src_t2 96x64 25 8)" "$(snd_mono 22050 1)" \
    -pix_fmt yuv420p -c:v libtheora -q:v 6 -c:a libvorbis -q:a 3 -page_duration 200000
mv "$data/rw-tv.ogv" "$tmp/tv.ogv"
# Junk between two pages half way through.
rw_py '
import sys
d, j = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
p = [i for i in range(len(d)) if d.startswith(b"OggS", i)]
at = p[len(p) // 2]
open(sys.argv[3], "wb").write(d[:at] + j[:700].replace(b"O", b"o") + d[at:])
' "$tmp/tv.ogv" "$tmp/junk.bin" "$data/ogg-junk-96x64.ogv"
clip ogg-junk-96x64.ogv ogg "Theora + Vorbis mono with 700 junk bytes between two pages half way"
# One sound page with a flipped byte: its checksum fails, so it is dropped.
rw_py '
import sys
d = bytearray(open(sys.argv[1], "rb").read())
p = [i for i in range(len(d)) if d.startswith(b"OggS", i)]
serial = lambda i: d[i + 14:i + 18]
vorbis = next(i for i in p if d[i + 27 + d[i + 26] + 1:].startswith(b"vorbis"))
sound = [i for i in p if serial(i) == serial(vorbis) and not d[i + 5] & 2]
page = sound[len(sound) // 2]
d[page + 27 + d[page + 26] + 10] ^= 0x55
open(sys.argv[2], "wb").write(d)
' "$tmp/tv.ogv" "$data/ogg-badcrc-96x64.ogv"
clip ogg-badcrc-96x64.ogv ogg "Theora + Vorbis mono with one byte changed in a Vorbis page half way: the page fails its checksum"
# Cut inside a Theora page: the packet it ends in is never completed.
rw_py '
import sys
d = open(sys.argv[1], "rb").read()
p = [i for i in range(len(d)) if d.startswith(b"OggS", i)]
theora = p[0]
video = [i for i in p if d[i + 14:i + 18] == d[theora + 14:theora + 18] and not d[i + 5] & 2]
page = video[len(video) * 2 // 3]
body = page + 27 + d[page + 26]
open(sys.argv[2], "wb").write(d[:body + 40])
' "$data/ogg-t-352x240.ogv" "$data/ogg-cut-352x240.ogv"
clip ogg-cut-352x240.ogv ogg "ogg-t-352x240.ogv cut 40 bytes into a Theora page two thirds of the way: the picture it holds is lost"

# ---------------------------------------------------------------------------
# Bad inputs.

cutto() { head -c "$2" "$data/$1" >"$data/$3"; }
# Byte offset of the Nth (1-based) occurrence of a start code in a file.
startcode_at() { # file hex-code n
    grep -obUaP "\\x00\\x00\\x01\\x$2" "$data/$1" | sed -n "$3p" | awk -F: '{print $1}'
}

cutto m1v-ibbp-176x120.m1v 7 bad-m1v-cut-seqhdr.m1v
bad bad-m1v-cut-seqhdr.m1v "first 7 bytes of a sequence header"
p1=$(startcode_at m1v-ibbp-176x120.m1v 00 1)
p2=$(startcode_at m1v-ibbp-176x120.m1v 00 2)
cutto m1v-ibbp-176x120.m1v $(((p1 + p2) / 2)) bad-m1v-cut-picture.m1v
bad bad-m1v-cut-picture.m1v "ends half way through the first I picture"
n=$(stat -c %s "$data/m1v-ibbp-176x120.m1v")
cutto m1v-ibbp-176x120.m1v $((n * 3 / 5)) bad-m1v-cut-late.m1v
bad bad-m1v-cut-late.m1v "ends part way into a later picture (60% of the stream)"

cutto mpg-ibbp-352x240.mpg 9 bad-mpg-cut-pack.mpg
bad bad-mpg-cut-pack.mpg "ends inside the first pack header"
n=$(stat -c %s "$data/mpg-ibbp-352x240.mpg")
cutto mpg-ibbp-352x240.mpg $((n / 2 + 77)) bad-mpg-cut-half.mpg
bad bad-mpg-cut-half.mpg "ends inside a packet, half way through"

cutto ogg-tv-176x120.ogv 20 bad-ogg-cut-page.ogv
bad bad-ogg-cut-page.ogv "ends inside the first page header"
cutto ogg-tv-176x120.ogv 3000 bad-ogg-cut-headers.ogv
bad bad-ogg-cut-headers.ogv "ends inside the header packets"
n=$(stat -c %s "$data/ogg-tv-176x120.ogv")
cutto ogg-tv-176x120.ogv $((n / 2 + 33)) bad-ogg-cut-half.ogv
bad bad-ogg-cut-half.ogv "ends inside a data page, half way through"

randbytes 4096 1 >"$data/bad-random.bin"
bad bad-random.bin "4096 pseudo-random bytes"

: >"$data/bad-empty.mpg"
bad bad-empty.mpg "empty file"

# A real sequence header (12 bytes, default matrices) then noise.
{ head -c 12 "$data/m1v-ip-176x120.m1v"; randbytes 3072 2; } >"$data/bad-seqhdr-garbage.m1v"
bad bad-seqhdr-garbage.m1v "valid 176x120 sequence header, then 3072 pseudo-random bytes"

mv "$manifest" "$data/manifest.tsv"

# ---------------------------------------------------------------------------
# Demo clips for people trying the player.

ff -f lavfi -i "$(src_t2 320x240 25 125)" -f lavfi -i "$(snd_stereo 44100 5)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v libtheora -q:v 5 \
    -c:a libvorbis -q:a 2 "${OUT[@]}" -serial_offset 4242 -f ogg "$samples/demo.ogv"

ff -f lavfi -i "$(src_mandel 352x240 25 125)" -f lavfi -i "$(snd_stereo 44100 5)" \
    -map 0:v -map 1:a -pix_fmt yuv420p -c:v mpeg1video -g 12 -bf 2 \
    -b:v 1000k -maxrate 1150k -bufsize 320k -c:a mp2 -b:a 128k "${OUT[@]}" \
    -f mpeg "$samples/demo.mpg"

echo "made $(($(wc -l <"$data/manifest.tsv") - 1)) clips in $data and demos in $samples"
