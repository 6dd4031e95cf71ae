#!/usr/bin/env bash
# Draws every picture of CleanVendrika's skin with ImageMagick and writes them in the exact
# formats the resource script needs (bmptool.py). The results are committed under
# resources/bitmaps/, so building the program does not need this script; run it again after
# changing a picture:
#
#   tools/bitmapgen/generate.sh [OUTDIR]     (default: resources/bitmaps)
#
# Needs ImageMagick (convert, identify), python3 and the DejaVu fonts.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/../../resources/bitmaps}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fonts=/usr/share/fonts/truetype/dejavu
BOLD=$fonts/DejaVuSans-Bold.ttf
REG=$fonts/DejaVuSans.ttf
COND=$fonts/DejaVuSansCondensed.ttf
CONDB=$fonts/DejaVuSansCondensed-Bold.ttf
for f in "$BOLD" "$REG" "$COND" "$CONDB"; do
    [ -f "$f" ] || { echo "missing font $f (apt-get install fonts-dejavu-core fonts-dejavu-extra)" >&2; exit 1; }
done

# The skin's two colours and the shades drawn from them.
HEAD='rgb(2,77,246)'     # heading blue
BODY='rgb(207,233,254)'  # body light blue
NAVY='rgb(12,36,110)'
LINK='rgb(0,62,204)'
LINKHOT='rgb(214,72,0)'

bmp() { python3 "$here/bmptool.py" bmp "$1" "$out/$2" "$3"; }

# ---- push button face: rounded, vertical gradient, caption in white ----
# face NAME W H CAPTION POINTS GROUND TOP BOTTOM EDGE
face() {
    local name=$1 w=$2 h=$3 cap=$4 pts=$5 ground=$6 top=$7 bottom=$8 edge=$9
    local r=$(( h / 4 )) png=$work/$name.png
    convert -size "${w}x${h}" "gradient:${top}-${bottom}" \
        \( -size "${w}x${h}" xc:black -fill white -draw "roundrectangle 0,0 $((w - 1)),$((h - 1)) $r,$r" \) \
        -alpha off -compose CopyOpacity -composite \
        \( -size "${w}x${h}" "xc:${ground}" \) +swap -compose over -composite \
        -fill none -stroke "$edge" -strokewidth 1 \
        -draw "roundrectangle 0.5,0.5 $((w - 1)).5,$((h - 1)).5 $r,$r" \
        -stroke 'rgba(255,255,255,0.45)' -draw "line $r,2 $((w - r - 1)),2" \
        -stroke none -font "$BOLD" -pointsize "$pts" -gravity center \
        -fill 'rgba(0,20,80,0.55)' -annotate +1+1 "$cap" \
        -fill white -annotate +0+0 "$cap" "$png"
    bmp "$png" "$name.bmp" 24
}

# Normal and highlighted faces of one caption on a given ground.
button_pair() {
    local base=$1 w=$2 h=$3 cap=$4 pts=$5 ground=$6
    face "${base}_notfocus" "$w" "$h" "$cap" "$pts" "$ground" 'rgb(48,118,252)' 'rgb(2,62,206)' 'rgb(1,42,150)'
    face "${base}_focus" "$w" "$h" "$cap" "$pts" "$ground" 'rgb(120,186,255)' 'rgb(26,108,250)' 'rgb(255,196,40)'
}

solid() { convert -size "$2" "xc:$3" "$work/$1.png" && bmp "$work/$1.png" "$1.bmp" 24; }

# ---- main window buttons ----
button_pair scan 180 33 "SCAN" 15 "$BODY"
button_pair download 180 33 "DOWNLOAD" 15 "$BODY"
solid scan_disable 180x33 "$BODY"      # a disabled SCAN blends into the body
solid download_disable 180x33 "$BODY"
button_pair ok 92 24 "OK" 11 "$BODY"
button_pair cancel 92 24 "Cancel" 11 "$BODY"
button_pair yes 92 24 "Yes" 11 "$BODY"
button_pair no 92 24 "No" 11 "$BODY"

# ---- close box on the heading band ----
closebox() {
    local name=$1 fill=$2 edge=$3 png=$work/$1.png
    convert -size 21x21 "xc:$HEAD" -fill "$fill" -stroke "$edge" -strokewidth 1 \
        -draw "roundrectangle 0.5,0.5 19.5,19.5 4,4" \
        -stroke white -strokewidth 2.2 -draw "line 6,6 14,14" -draw "line 14,6 6,14" "$png"
    bmp "$png" "$name.bmp" 24
}
closebox x_notfocus 'rgb(34,104,250)' 'rgb(160,196,255)'
closebox x_focus 'rgb(222,48,40)' 'rgb(255,255,255)'

# ---- link pictures: an invitation and the address, underlined when highlighted ----
# link NAME W H GROUND LINE1 LINE2 POINTS1 POINTS2 HOT
link() {
    local name=$1 w=$2 h=$3 ground=$4 l1=$5 l2=$6 p1=$7 p2=$8 hot=$9 png=$work/$1.png
    local colour=$LINK
    [ "$hot" = 1 ] && colour=$LINKHOT
    convert -size "${w}x${h}" "xc:$ground" -gravity north \
        -font "$CONDB" -pointsize "$p1" -fill "$NAVY" -annotate +0+1 "$l1" \
        -font "$COND" -pointsize "$p2" -fill "$colour" -annotate "+0+$(( h / 2 + 1 ))" "$l2" "$png"
    if [ "$hot" = 1 ]; then
        # Underline the address across the width its letters take.
        local tw
        tw=$(convert -font "$COND" -pointsize "$p2" "label:$l2" -format '%w' info:)
        local x0=$(( (w - tw) / 2 + 2 )) x1=$(( (w + tw) / 2 - 2 )) y=$(( h - 2 ))
        convert "$png" -stroke "$colour" -strokewidth 1 -draw "line $x0,$y $x1,$y" "$png"
    fi
    bmp "$png" "$name.bmp" 24
}
DL1="Get complete protection: Wardenix antivirus"
DL2="www.quillon.example/download/downloadnow.htm"
UL1="More free virus removal utilities"
UL2="www.quillon.example/download/utility.htm"
link dlink_notfocus 313 43 white "$DL1" "$DL2" 13 12 0
link dlink_focus 313 43 white "$DL1" "$DL2" 13 12 1
link ulink_notfocus 244 28 "$BODY" "$UL1" "$UL2" 10 10 0
link ulink_focus 244 28 "$BODY" "$UL1" "$UL2" 10 10 1

# ---- the maker's logo: a blue disc with a white Q ----
logo() {
    local name=$1 disc=$2 png=$work/$1.png
    convert -size 38x36 "xc:$BODY" -fill "$disc" -stroke 'rgb(1,42,150)' -strokewidth 1 \
        -draw "circle 19,18 19,2" -stroke none -fill 'rgb(255,190,30)' -draw "polygon 22,24 33,33 27,22" \
        -font "$BOLD" -pointsize 22 -fill white -gravity center -annotate -1-1 "Q" "$png"
    bmp "$png" "$name.bmp" 24
}
logo quillonlogo_notfocus "$HEAD"
logo quillonlogo_focus 'rgb(40,120,255)'

# ---- message box icons, 42 x 40 on the box's light blue ----
bubble() {
    local name=$1 mark=$2 png=$work/$1.png
    convert -size 42x40 "xc:$BODY" -fill white -stroke 'rgb(40,92,200)' -strokewidth 1.5 \
        -draw "ellipse 21,16 18,14 0,360" -draw "polygon 9,25 6,38 19,29" \
        -stroke none -fill white -draw "ellipse 21,16 16.5,12.5 0,360" \
        -font "$BOLD" -pointsize 20 -fill "$HEAD" -gravity north -annotate +0+3 "$mark" "$png"
    bmp "$png" "$name.bmp" 24
}
bubble msg_information "i"
bubble msg_question "?"
convert -size 42x40 "xc:$BODY" -fill 'rgb(255,206,0)' -stroke 'rgb(150,104,0)' -strokewidth 1.5 \
    -draw "roundrectangle 0,0 0,0 0,0" -draw "polygon 21,2 40,37 2,37" \
    -stroke none -font "$BOLD" -pointsize 22 -fill black -gravity north -annotate +0+9 "!" \
    "$work/msg_warning.png"
bmp "$work/msg_warning.png" msg_warning.bmp 24
convert -size 42x40 "xc:$BODY" -fill 'rgb(214,32,32)' -stroke 'rgb(130,10,10)' -strokewidth 1.5 \
    -draw "circle 21,20 21,2" -stroke white -strokewidth 4.5 -draw "line 14,13 28,27" \
    -draw "line 28,13 14,27" "$work/msg_error.png"
bmp "$work/msg_error.png" msg_error.bmp 24

# ---- the program's emblem: a shield with a check mark ----
shield() {  # shield SIZE OUT.png  (drawn at 128 and scaled)
    convert -size 128x128 xc:none -fill "$HEAD" -stroke white -strokewidth 7 \
        -draw "path 'M 64,8 L 114,24 L 114,58 C 114,92 92,112 64,122 C 36,112 14,92 14,58 L 14,24 Z'" \
        -fill none -stroke white -strokewidth 13 -draw "polyline 38,64 57,84 92,42" \
        -resize "$1x$1" "$2"
}
shield 48 "$work/icon48.png"
shield 32 "$work/icon32.png"
shield 16 "$work/icon16.png"
python3 "$here/bmptool.py" ico "$out/cleanvendrika.ico" "$work/icon48.png" "$work/icon32.png" "$work/icon16.png"

# ---- the main window's face, 527 x 338, 8 bits per pixel ----
# Heading band (rows 0-63) in heading blue with the emblem and the product name; the body in
# light blue; a white panel behind the texts, the link and the result list; a gradient band
# along the bottom edge.
shield 44 "$work/emblem.png"
convert -size 527x20 "gradient:${BODY}-rgb(60,120,248)" "$work/band.png"
convert -size 527x338 "xc:$BODY" \
    -fill "$HEAD" -draw "rectangle 0,0 526,63" \
    -fill 'rgb(1,52,178)' -draw "rectangle 0,62 526,63" \
    -fill white -stroke 'rgb(150,192,244)' -strokewidth 1 -draw "roundrectangle 7,104 519,277 9,9" \
    -stroke none -font "$BOLD" -pointsize 21 -fill white -gravity north -annotate +0+6 "CleanVendrika" \
    "$work/emblem.png" -gravity northwest -geometry +12+9 -composite \
    "$work/band.png" -gravity northwest -geometry +0+318 -composite \
    "$work/background.png"
bmp "$work/background.png" background.bmp 8

echo "pictures written to $out"
