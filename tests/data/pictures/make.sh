#!/usr/bin/env bash
# Makes the small JPEG pictures the picture tests and the decoder's fuzz seeds use. Each is two
# flat halves (left 0x204080, right 0xF0C010) so the decoded pixels can be checked within the
# loss of the format. Run from anywhere; needs ImageMagick.
set -euo pipefail
cd "$(dirname "$0")"
halves=(-size 64x32 xc:'#204080' -fill '#F0C010' -draw 'rectangle 32,0 63,31')
convert "${halves[@]}" -strip -quality 95 -sampling-factor 2x2 halves-baseline.jpg
convert "${halves[@]}" -strip -quality 95 -interlace JPEG halves-progressive.jpg
convert "${halves[@]}" -strip -quality 95 -colorspace Gray halves-gray.jpg
convert "${halves[@]}" -strip -quality 95 -colorspace CMYK halves-cmyk.jpg
# ImageMagick's own decoding of each, as raw RGB bytes: the tests compare with it.
for f in halves-*.jpg; do
  convert "$f" -colorspace sRGB -depth 8 "rgb:${f%.jpg}.rgb"
done
