#!/bin/bash
# Draws the dialog banner (banner.bmp) and the application icon (app.ico).
# Both files are committed; run this again only to change the artwork.
# Needs ImageMagick 6 (convert) and the Liberation fonts (fonts-liberation).
#
# The banner is drawn at the size it has on a 96-dpi screen with the dialog's
# 8-point MS Sans Serif (6 x 13 pixel dialog base units): 305 x 67 dialog
# units, so Windows shows it unscaled there.
set -euo pipefail
cd "$(dirname "$0")"
fonts=/usr/share/fonts/truetype/liberation
bold=$fonts/LiberationSans-Bold.ttf
regular=$fonts/LiberationSans-Regular.ttf
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The emblem: a shield with a check mark, drawn on a 256 x 256 canvas.
# $1 output, $2 outline width, $3 check-mark width (thicker for small sizes),
# $4 width of the sheen along the left edge (0: none).
shield() {
    convert -size 256x256 gradient:'#3d8fd6-#0c3868' \
        \( -size 256x256 xc:none -fill white \
           -draw "path 'M 128 14 L 230 46 L 230 118 C 230 182 184 226 128 246 C 72 226 26 182 26 118 L 26 46 Z'" \) \
        -alpha set -compose DstIn -composite -compose Over \
        -fill none -stroke '#06203d' -strokewidth "$2" \
        -draw "path 'M 128 14 L 230 46 L 230 118 C 230 182 184 226 128 246 C 72 226 26 182 26 118 L 26 46 Z'" \
        -stroke 'rgba(255,255,255,0.55)' -strokewidth "$4" -draw "path 'M 120 42 L 50 64 L 50 118'" \
        -stroke '#ffc62e' -strokewidth "$3" -draw "stroke-linecap round stroke-linejoin round polyline 74,132 114,174 186,90" \
        "$1"
}

# Icon: 32 x 32 and 16 x 16, each with an alpha channel (XP and later) and in
# 256 colours with a plain transparency mask (older systems).
shield "$tmp/shield32.png" 12 30 8
shield "$tmp/shield16.png" 20 44 0
convert "$tmp/shield32.png" -filter Lanczos -resize 32x32 "$tmp/icon32.png"
convert "$tmp/shield16.png" -filter Lanczos -resize 16x16 "$tmp/icon16.png"
convert "$tmp/icon32.png" "$tmp/icon16.png" \
    \( "$tmp/icon32.png" -channel A -threshold 50% +channel -colors 255 -type PaletteMatte \) \
    \( "$tmp/icon16.png" -channel A -threshold 50% +channel -colors 255 -type PaletteMatte \) \
    app.ico

# Banner: 458 x 108 pixels.
shield "$tmp/emblem.png" 10 30 6
convert "$tmp/emblem.png" -filter Lanczos -resize 80x80 "$tmp/emblem80.png"
convert -size 108x458 gradient:'#0b2342-#1c5a8c' -rotate 90 \
    -fill none -stroke 'rgba(255,255,255,0.07)' -strokewidth 2 \
    -draw "circle 430,54 430,4" -draw "circle 430,54 430,-26" -draw "circle 430,54 430,-56" \
    -draw "circle 430,54 430,-86" \
    "$tmp/emblem80.png" -geometry +16+12 -compose Over -composite \
    -stroke none -fill white -font "$bold" -pointsize 25 -annotate +108+50 'W32.Quorvin Removal Tool' \
    -fill '#a8cdf0' -font "$regular" -pointsize 14 -annotate +109+75 'Ostrovel Security Response' \
    -fill '#f2a900' -draw 'rectangle 0,104 457,107' \
    -alpha off -type TrueColor BMP3:banner.bmp
echo "wrote $(pwd)/banner.bmp and $(pwd)/app.ico"
