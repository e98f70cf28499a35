#!/usr/bin/env bash
# Makes real JPEG XL, ICO and CUR pictures with the format's own tools (cjxl
# from libjxl-tools, ImageMagick's convert) into FOLDER, with FOLDER/sizes.tsv
# listing each file and the size a browser shows it at (WIDTHxHEIGHT).
#   bash MakePictures.sh FOLDER
# A tool that is missing leaves its rows out; sizes.tsv names it in a line
# "# missing: TOOL", and the tests that read the table skip those rows.
set -euo pipefail
out=$1
rm -rf "$out.new"
mkdir -p "$out.new"
cd "$out.new"
tsv=sizes.tsv
: >"$tsv"

# A plain PPM of WIDTH x HEIGHT, written directly: ImageMagick refuses sides
# above its own limits, and one row of a 300,000 pixel picture is enough.
ppm() {
  printf 'P6\n%d %d\n255\n' "$1" "$2" >"$3"
  head -c $(($1 * $2 * 3)) /dev/zero >>"$3"
}

# A JPEG of 40 x 20 whose Exif block says ORIENTATION, for cjxl to carry
# into the codestream's own orientation field.
exif_jpeg() {
  convert -size 40x20 xc:red "JPEG:plain.jpg"
  {
    head -c 2 plain.jpg
    printf '\xff\xe1\x00\x22Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x01'
    printf '\x01\x12\x00\x03\x00\x00\x00\x01\x00\x0'"$1"'\x00\x00\x00\x00\x00\x00'
    tail -c +3 plain.jpg
  } >"$2"
  rm plain.jpg
}

if command -v cjxl >/dev/null && command -v convert >/dev/null; then
  # name, width, height, cjxl options. The sizes cover the size header's
  # forms: small sides (multiples of 8 up to 256) with and without each of
  # the seven ratios, sides given in 9, 13, 18 and 30 bits, and the
  # container with a jxlc box (and a jxll box beyond 262,144 pixels).
  while read -r name w h opts; do
    ppm "$w" "$h" in.ppm
    # shellcheck disable=SC2086
    cjxl in.ppm "$name" $opts >/dev/null 2>&1
    printf '%s\t%dx%d\n' "$name" "$w" "$h" >>"$tsv"
  done <<'EOF'
small-64x40.jxl 64 40
small-ratio1.jxl 8 8
small-ratio2.jxl 96 80
small-ratio3.jxl 64 48
small-ratio4.jxl 72 48
small-ratio5.jxl 128 72
small-ratio6.jxl 80 64
small-ratio7.jxl 128 64
small-256.jxl 256 256
ratio1.jxl 33 33
ratio2.jxl 36 30
ratio3.jxl 40 30
ratio3-rounded-down.jxl 41 31
ratio4.jxl 45 30
ratio5.jxl 48 27
ratio6.jxl 25 20
ratio7.jxl 42 21
wide-300.jxl 300 1
wide-5000.jxl 5000 1
wide-65536.jxl 65536 1
wide-70000.jxl 70000 1
wide-262144.jxl 262144 1
wide-300000.jxl 300000 1
tall-70000.jxl 1 70000
container-jxlc.jxl 37 23 --container=1
container-257.jxl 257 3 --container=1
EOF
  rm -f in.ppm
  # From a JPEG with an Exif orientation, cjxl writes the container with
  # jxlp boxes (the JPEG kept for reconstruction) or, decoded, a jxlc box.
  for o in 1 2 3 4 5 6 7 8; do
    exif_jpeg "$o" in.jpg
    cjxl in.jpg "orientation$o-jxlp.jxl" --lossless_jpeg=1 >/dev/null 2>&1
    cjxl in.jpg "orientation$o-jxlc.jxl" --lossless_jpeg=0 >/dev/null 2>&1
    size=40x20
    ((o < 5)) || size=20x40
    printf 'orientation%d-jxlp.jxl\t%s\norientation%d-jxlc.jxl\t%s\n' "$o" $size "$o" $size >>"$tsv"
  done
  rm -f in.jpg
else
  echo "# missing: cjxl" >>"$tsv"
fi

if command -v convert >/dev/null; then
  # name, then the sides of each picture in the file: the largest by area
  # is shown, the first of equal ones, and 256 is written as 0.
  while read -r name want sizes; do
    pngs=()
    for s in $sizes; do
      convert -size "$s" xc:blue "PNG32:$s.png"
      pngs+=("$s.png")
    done
    convert "${pngs[@]}" "ICO:$name"
    rm -f "${pngs[@]}"
    printf '%s\t%s\n' "$name" "$want" >>"$tsv"
  done <<'EOF'
one.ico 16x8 16x8
two.ico 64x32 16x8 64x32
two-largest-first.ico 64x32 64x32 16x8
several.ico 48x48 16x16 48x48 32x32
equal-areas.ico 32x8 32x8 16x16
tall.ico 8x64 8x64 64x4
with-256.ico 256x256 16x16 256x256
EOF
  # A cursor is an icon file of type 2.
  cp two.ico two.cur
  printf '\x02' | dd of=two.cur bs=1 seek=2 conv=notrunc status=none
  printf 'two.cur\t64x32\n' >>"$tsv"
else
  echo "# missing: convert" >>"$tsv"
fi

cd ..
rm -rf "$out"
mv "$out.new" "$out"
