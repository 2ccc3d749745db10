#!/usr/bin/env bash
# Renders tarvel.svg to the PNG sizes that launchers ask for, next to this script:
# tarvel-48.png … tarvel-256.png. Needs rsvg-convert (Debian: librsvg2-bin). The PNGs are kept
# in the sources, so that building the program needs no SVG renderer; run this after changing
# the SVG. The 16 and 32 px images come from make_icons.py instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
for size in 48 64 128 256; do
  rsvg-convert --width "$size" --height "$size" tarvel.svg --output "tarvel-$size.png"
done
