#!/bin/bash
# make-icon.sh SIZE OUT.ico: the Windows program's icon at SIZE x SIZE pixels
# (16 or 32), drawn from the same shapes as desktop/zarvel.svg: a dark film
# frame with sprocket holes, a blue picture and a white play triangle. The
# build makes it, so no binary icon lives in git; the output depends on SIZE
# alone.
set -eu
size=$1
out=$2
case $size in 16 | 32) ;; *) echo "make-icon.sh: size 16 or 32" >&2; exit 2 ;; esac

bytes=""  # printf octal escapes, written once at the end
byte() { local o; printf -v o '%03o' $(($1 & 255)); bytes+="\\$o"; }
le16() { byte $1; byte $(($1 >> 8)); }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16)); }

# Shapes in the SVG's 64-unit square, tested at pixel centres with integer
# arithmetic: a unit u is at u * s in the scaled space of (2 * pixel + 1) * 64.
s=$((2 * size))
inside() {  # x y x0 y0 x1 y1
  (($1 >= $3 * s && $1 < $5 * s && $2 >= $4 * s && $2 < $6 * s))
}
pixel() {  # x y: BGRA bytes of one pixel
  local x=$1 y=$2 dy
  dy=$((y - 32 * s)); ((dy < 0)) && dy=$((-dy))
  if ((x >= 26 * s && 14 * dy <= 10 * (40 * s - x))); then
    byte 255; byte 255; byte 255; byte 255
  elif inside $x $y 17 14 47 50; then
    byte 0xd1; byte 0x88; byte 0x02; byte 255
  elif { inside $x $y 8 0 13 64 || inside $x $y 51 0 56 64; } &&
    { inside $x $y 0 14 64 18 || inside $x $y 0 24 64 28 || inside $x $y 0 36 64 40 || inside $x $y 0 46 64 50; }; then
    byte 0xf1; byte 0xef; byte 0xec; byte 255
  elif inside $x $y 4 10 60 54; then
    byte 0x38; byte 0x32; byte 0x26; byte 255
  else
    byte 0; byte 0; byte 0; byte 0
  fi
}

maskRow=$(((size + 31) / 32 * 4))
imageBytes=$((40 + size * size * 4 + maskRow * size))
# ICONDIR and its one entry
le16 0; le16 1; le16 1
byte $size; byte $size; byte 0; byte 0; le16 1; le16 32; le32 $imageBytes; le32 22
# BITMAPINFOHEADER: the height counts the colour rows and the mask rows
le32 40; le32 $size; le32 $((2 * size)); le16 1; le16 32; le32 0
le32 $((imageBytes - 40)); le32 0; le32 0; le32 0; le32 0
for ((row = size - 1; row >= 0; row--)); do  # bottom-up
  for ((col = 0; col < size; col++)); do
    pixel $(((2 * col + 1) * 64)) $(((2 * row + 1) * 64))
  done
done
for ((i = 0; i < maskRow * size; i++)); do byte 0; done  # alpha decides; the mask shows all
printf "$bytes" >"$out"
