#!/usr/bin/env bash
# Regenerates the bitmaps in this folder from their SVG sources.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -euo pipefail
cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")"

for tool in rsvg-convert convert; do
    command -v "$tool" >/dev/null || { echo "make-art.sh: $tool not found" >&2; exit 1; }
done

# Application icon, every size the desktop and the window title bar ask for.
for size in 16 32 48 64 128 256; do
    rsvg-convert --width="$size" --height="$size" quillmere.svg --output="quillmere-$size.png"
done

# Log window icon.
rsvg-convert --width=32 --height=32 logs.svg --output=logs-32.png

# Main window backdrop: render, then store as a baseline JPEG
# without metadata so rebuilding it gives the same bytes.
tmp="$(mktemp --suffix=.png)"
trap 'rm -f "$tmp"' EXIT
rsvg-convert --width=796 --height=452 --background-color=white background.svg --output="$tmp"
convert "$tmp" -strip -background white -flatten -sampling-factor 4:2:0 -quality 90 \
    -interlace none background.jpg

echo "Artwork regenerated in $PWD"
