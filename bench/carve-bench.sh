#!/usr/bin/env bash
# Content search on quick-formatted cards, side by side with PhotoRec and foremost.
#
#   sudo bench/carve-bench.sh [path/to/carve-bench [path/to/brivo-recovery-cli]]
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench/carve) a set of
# files: camera-sized JPEGs, PNGs, GIFs (ImageMagick), PDFs and DOCX files (python3), text
# notes, and some sound and video (MP3 by lame, FLAC by flac, MKV by mkvmerge); then for each of FAT32, exFAT, NTFS and ext4 a 256 MiB card populated with them,
# quick-formatted with the same mkfs and given 12 new photos; and an ext4 card after
# `rm -rf`. Each card is searched by carve-bench (an optimised build, -DBRIVO_BUILD_BENCH=ON:
# the content search alone over the whole card), by the command line's deep scan (`recover
# --deep --all`: the file system's own listing and sweep, then the content search over its
# free space, everything copied out),
# `photorec /cmd IMG partition_none,options,paranoid,fileopt,everything,enable,search` and
# `foremost -t all`; for each: files recovered byte-exact (md5 against the generated
# files still intact on the card), files named from their content, wall time and peak
# memory (GNU time). Then the plain read speed of the card with dd for the speed
# comparison, and a 4 GiB volume (the cards end to end, repeated) searched against dd's
# read of it, both from the page cache (run twice, the second timed) so the figure is the
# search's own cost rather than the disk's.
# Needs root (loop mounts), imagemagick, python3, dosfstools, mtools, exfatprogs,
# exfat-fuse, ntfs-3g, e2fsprogs, testdisk, foremost, lame, flac, mkvtoolnix, GNU time.
set -euo pipefail
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}/carve
BENCH=${1:-$HERE/../build-release/bench/carve-bench}
CLI=${2:-$(dirname "$BENCH")/../src/cli/brivo-recovery-cli}
CONVERT=${CONVERT:-/usr/bin/convert}
[[ -x $BENCH && -x $CLI ]] || { echo "usage: $0 path/to/carve-bench [path/to/brivo-recovery-cli] (an optimised build)" >&2; exit 2; }
for t in "$CONVERT" python3 lame flac mkvmerge mkfs.fat mcopy mkfs.exfat mkntfs mkfs.ext4 photorec foremost /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "carve-bench: missing tool: $t" >&2; exit 2; }
done
mkdir -p "$CACHE"
MNT=$(mktemp -d)
trap 'umount "$MNT" 2>/dev/null || true; rmdir "$MNT"' EXIT

make_files() { # DIR: the files that were on the card before the format
  local d=$1 i
  mkdir -p "$d/DCIM" "$d/Docs" "$d/Notes"
  for i in $(seq -w 1 120); do
    "$CONVERT" -size 800x600 plasma: -seed "$((10#$i))" -quality 90 "$d/DCIM/IMG_$i.jpg"
  done
  for i in $(seq -w 1 30); do "$CONVERT" -size 240x180 plasma: -seed "$((10#$i + 500))" "$d/DCIM/shot_$i.png"; done
  for i in $(seq -w 1 15); do
    "$CONVERT" -delay 10 -size 120x90 plasma: -seed "$((10#$i + 900))" xc:blue "$d/DCIM/anim_$i.gif"
  done
  python3 - "$d" <<'PY'
import os, random, sys, zipfile, zlib
d = sys.argv[1]; rnd = random.Random(21)
words = "the of report budget photo holiday invoice meeting notes draft final review plan".split()
def text(n): return " ".join(rnd.choice(words) for _ in range(n))
for i in range(20):
    stream = zlib.compress(os.urandom(rnd.randint(20000, 200000)))
    objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
            b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>",
            b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(stream) + stream + b"\nendstream",
            b"<< /Title (Report %d %s) >>" % (i, text(2).encode())]
    body = b"%PDF-1.5\n%\xe2\xe3\xcf\xd3\n"; offs = []
    for k, o in enumerate(objs, 1):
        offs.append(len(body)); body += b"%d 0 obj\n" % k + o + b"\nendobj\n"
    x = len(body)
    body += b"xref\n0 6\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offs)
    body += b"trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R >>\nstartxref\n%d\n%%%%EOF\n" % x
    open(os.path.join(d, "Docs", "report_%02d.pdf" % i), "wb").write(body)
for i in range(20):
    with zipfile.ZipFile(os.path.join(d, "Docs", "letter_%02d.docx" % i), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("word/document.xml", "<w:document>%s</w:document>" % text(rnd.randint(2000, 20000)))
        z.writestr("word/media/image1.bin", os.urandom(rnd.randint(1000, 50000)))
for i in range(10):
    open(os.path.join(d, "Notes", "note_%02d.txt" % i), "w").write(text(3000))
PY
}

add_media() { # DIR: sound and video, from tones made here
  local d=$1/Music i
  mkdir -p "$d.part"
  python3 - "$d.part" <<'PY'
import math, random, struct, sys, wave
rnd = random.Random(5)
for i in range(12):
    with wave.open("%s/take_%02d.wav" % (sys.argv[1], i), "wb") as w:
        w.setnchannels(2); w.setsampwidth(2); w.setframerate(44100)
        f = rnd.uniform(200, 900); n = 44100 * rnd.randint(4, 12)
        w.writeframes(b"".join(struct.pack("<hh", int(9000 * math.sin(k * f / 44100 * 6.283) + rnd.randint(-900, 900)),
                                           int(7000 * math.sin(k * f / 44100 * 4.1))) for k in range(n)))
PY
  for i in $(seq -w 0 11); do
    local w=$d.part/take_$i.wav
    if ((10#$i < 5)); then lame --quiet -V 4 --tt "Take $i" --ta "Harbour Band" --add-id3v2 "$w" "$d.part/take_$i.mp3"
    elif ((10#$i < 9)); then flac --silent -f -T "TITLE=Take $i" -o "$d.part/take_$i.flac" "$w"
    else mkvmerge -q -o "$d.part/take_$i.mkv" --title "Take $i" "$w"; fi
    rm "$w"
  done
  mv "$d.part" "$d"
}

new_files() { # DIR: the 12 photos written after the format
  local d=$1 i
  mkdir -p "$d"
  for i in $(seq -w 1 12); do "$CONVERT" -size 800x600 plasma: -seed "$((10#$i + 2000))" -quality 90 "$d/NEW_$i.jpg"; done
}

[[ -d $CACHE/files ]] || { echo "making files..."; make_files "$CACHE/files.part"; mv "$CACHE/files.part" "$CACHE/files"; }
[[ -d $CACHE/new ]] || new_files "$CACHE/new"
# Cards made before the sound and video joined the mix are made again.
if [[ ! -d $CACHE/files/Music ]]; then
  add_media "$CACHE/files"
  rm -f "$CACHE"/{fat32,exfat,ntfs,ext4,ext4-rm}.img "$CACHE"/big4g.img
fi

copy_mounted() { # SRC_DIR: into $MNT
  cp -r "$1"/. "$MNT"/; sync
}

exfat_copy() { # IMG SRC_DIR: through the FUSE driver, which needs a block device
  local loop; loop=$(losetup -f --show "$1")
  mount.exfat-fuse "$loop" "$MNT" 2>/dev/null; copy_mounted "$2"; umount "$MNT"
  losetup -d "$loop"
}

build_card() { # KIND -> $CACHE/KIND.img
  local kind=$1 img=$CACHE/$1.img.part
  [[ -f $CACHE/$1.img ]] && return
  rm -f "$img"; truncate -s 256M "$img"
  case $kind in
    fat32)
      mkfs.fat -F 32 -n CARD "$img" >/dev/null
      mcopy -s -i "$img" "$CACHE/files"/* ::/
      mkfs.fat -F 32 -n CARD "$img" >/dev/null
      mcopy -i "$img" "$CACHE/new"/* ::/ ;;
    exfat)
      mkfs.exfat -L CARD "$img" >/dev/null
      exfat_copy "$img" "$CACHE/files"
      mkfs.exfat -L CARD "$img" >/dev/null
      exfat_copy "$img" "$CACHE/new" ;;
    ntfs)
      mkntfs -Q -F -L CARD "$img" >/dev/null
      ntfs-3g "$img" "$MNT"; copy_mounted "$CACHE/files"; umount "$MNT"
      mkntfs -Q -F -L CARD "$img" >/dev/null
      ntfs-3g "$img" "$MNT"; copy_mounted "$CACHE/new"; umount "$MNT" ;;
    ext4)
      mkfs.ext4 -q -F -E nodiscard -d "$CACHE/files" "$img"
      mkfs.ext4 -q -F -E nodiscard "$img"
      mount -o loop "$img" "$MNT"; copy_mounted "$CACHE/new"; umount "$MNT" ;;
    ext4-rm)
      mkfs.ext4 -q -F -E nodiscard -d "$CACHE/files" "$img"
      mount -o loop "$img" "$MNT"; rm -rf "${MNT:?}"/DCIM "$MNT"/Docs "$MNT"/Notes; sync; umount "$MNT" ;;
  esac
  mv "$img" "$CACHE/$kind.img"
}

# md5s of the generated files whose bytes are all still on the card (a new file may have
# overwritten some): the most any tool can give back byte-exact.
intact_md5s() { # IMG
  python3 - "$1" "$CACHE/files" <<'PY'
import hashlib, os, sys
img = open(sys.argv[1], "rb").read()
for root, _, names in os.walk(sys.argv[2]):
    for n in names:
        b = open(os.path.join(root, n), "rb").read()
        if n.endswith(".txt"): continue
        if img.find(b[:4096]) >= 0 and img.find(b) >= 0:  # contiguous and intact
            print(hashlib.md5(b).hexdigest())
PY
}

exact() { # OUTDIR MD5LIST: distinct intact files recovered byte-exact
  find "$1" -type f -exec md5sum {} + | cut -d' ' -f1 | sort -u | comm -12 - <(sort -u "$2") | wc -l
}

timed() { # LOG CMD...: wall seconds and peak KiB into LOG
  /usr/bin/time -f "%e %M" -o "$1" "${@:2}" >/dev/null 2>&1 || true
}

# Files named from their content: not the tools' numbered names (f1234567.jpg, 00001234.jpg).
named() { # OUTDIR
  find "$1" -type f ! -name '*.txt' ! -name '*.log' ! -name 'report.xml' -printf '%f\n' |
    grep -Evc '^([0-9]+-)?[ft]?[0-9]+(_[0-9]+)?(\.[A-Za-z0-9]+)?$' || true
}

printf '%-8s %7s | %-32s | %-32s | %-32s | %-32s | %s\n' card intact "content: exact named s MiB" \
  "--deep: exact named s MiB" "photorec: exact named s MiB" "foremost: exact named s MiB" "dd MiB/s"
for kind in fat32 exfat ntfs ext4 ext4-rm; do
  build_card "$kind"
  img=$CACHE/$kind.img out=$(mktemp -d)
  intact_md5s "$img" >"$out/md5s"
  row=()
  timed "$out/t1" "$BENCH" "$img" "$out/ours"
  row+=("$(exact "$out/ours" "$out/md5s") $(named "$out/ours") $(cat "$out/t1")")
  rm -rf "$out/ours"
  timed "$out/t4" "$CLI" recover --deep --all --out "$out/deep" "$img"
  row+=("$(exact "$out/deep" "$out/md5s") $(named "$out/deep") $(cat "$out/t4")")
  rm -rf "$out/deep"
  mkdir -p "$out/pr"
  # PhotoRec writes its photorec.log into the working folder.
  cd "$out"
  timed "$out/t2" photorec /log /d "$out/pr/r" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,search
  cd - >/dev/null
  row+=("$(exact "$out/pr" "$out/md5s") $(named "$out/pr") $(cat "$out/t2")")
  timed "$out/t3" foremost -t all -i "$img" -o "$out/fm"
  row+=("$(exact "$out/fm" "$out/md5s") $(named "$out/fm") $(cat "$out/t3")")
  dd_speed=$(dd if="$img" of=/dev/null bs=4M 2>&1 | awk '/copied/ {print $(NF-1), $NF}')
  fmt() { set -- $1; printf '%4s %5s %6ss %6.0f' "$1" "$2" "$3" "$(($4 / 1024))"; }
  printf '%-8s %7s | %-32s | %-32s | %-32s | %-32s | %s\n' "$kind" "$(wc -l <"$out/md5s")" "$(fmt "${row[0]}")" \
    "$(fmt "${row[1]}")" "$(fmt "${row[2]}")" "$(fmt "${row[3]}")" "$dd_speed"
  rm -rf "$out"
done

# A 4 GiB volume: the cards end to end, repeated. Read once to have it in the page cache,
# then dd and the search timed over the same cached bytes.
big=$CACHE/big4g.img
if [[ ! -f $big ]]; then
  for _ in 1 2 3 4; do cat "$CACHE"/{fat32,exfat,ntfs,ext4}.img; done >"$big.part"
  mv "$big.part" "$big"
fi
dd if="$big" of=/dev/null bs=4M 2>/dev/null
dd_big=$(dd if="$big" of=/dev/null bs=4M 2>&1 | awk '/copied/ {print $(NF-1), $NF}')
out=$(mktemp -d)
/usr/bin/time -f "%e s, peak %M KiB" -o "$out/t" "$BENCH" "$big" "$out/ours" >"$out/line"
echo "4 GiB volume: $(cat "$out/line"); wall $(cat "$out/t"); dd (cached) $dd_big"
rm -rf "$out"
