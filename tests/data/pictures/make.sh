#!/usr/bin/env bash
# Writes the JPEG and PNG pictures the picture tests read (the other formats are written by
# the tests themselves). Made with ImageMagick; run again only to change them.
set -euo pipefail
cd "$(dirname "$0")"
strip=(-strip)
# 48 x 32: left half red, right half blue.
convert -size 24x32 xc:'rgb(255,0,0)' -size 24x32 xc:'rgb(0,0,255)' +append \
  "${strip[@]}" -quality 95 rgb.jpg
convert -size 16x8 xc:'rgb(128,128,128)' -colorspace Gray "${strip[@]}" -quality 95 gray.jpg
convert -size 40x24 xc:'rgb(0,160,0)' -interlace JPEG "${strip[@]}" -quality 95 progressive.jpg
convert -size 20x10 xc:'rgb(0,128,255)' -colorspace CMYK "${strip[@]}" -quality 95 cmyk.jpg
convert -size 20x10 xc:'rgb(255,255,0)' "${strip[@]}" picture.png
# Pictures of the other formats from another encoder than the tests' own writers.
convert -size 8x6 xc:'rgb(10,200,30)' "${strip[@]}" -type TrueColor bmp3:other.bmp
convert -size 16x16 xc:'rgb(200,10,30)' "${strip[@]}" other.ico
convert -delay 7 -size 12x8 xc:red xc:lime xc:blue -loop 0 "${strip[@]}" other-anim.gif
convert -size 10x6 gradient:red-blue "${strip[@]}" -type Palette other.pcx
convert -size 19x5 pattern:gray50 "${strip[@]}" -monochrome other-mono.pcx
