#!/usr/bin/env bash
# Draws the start-up picture (400 x 200, baseline JPEG); the build embeds it in the program.
# Run from anywhere after changing the drawing; needs ImageMagick and the DejaVu fonts.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
font=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
light=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
convert -size 400x200 xc:white \
  -fill '#1F7A8C' -draw 'roundrectangle 40,50 140,150 18,18' \
  -fill white -font "$font" -pointsize 72 -annotate +64+128 'K' \
  -fill '#E1B12C' -draw 'circle 128,62 136,62' \
  -fill '#272727' -font "$font" -pointsize 44 -annotate +160+112 'Kelvora' \
  -fill '#6B6B6B' -font "$light" -pointsize 16 -annotate +163+140 'notes, kept up to date' \
  -strip -interlace none -quality 90 -sampling-factor 2x2 "$here/kelvora_logo.jpg"
