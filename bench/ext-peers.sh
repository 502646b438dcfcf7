#!/usr/bin/env bash
# Deleted files back from ext4, ext3 and ext2, side by side with the other recovery tools.
#
#   sudo bench/ext-peers.sh [path/to/brivo-recovery-cli]
#   sudo TOOLS="ext4magic photorec-free" bench/ext-peers.sh      # only some tools
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench/ext-peers) a home
# folder of 213 files with real signatures: JPEG and PNG pictures (ImageMagick), PDF, DOCX
# and ZIP documents (python3), MP3, FLAC and WAV sound (lame, flac) and Matroska video
# (mkvmerge). Then, for each of ext4, ext3 and ext2, a 256 MiB volume with 4 KiB blocks
# made by mkfs and filled through the kernel's driver (a loop mount); `sync` and a wait past
# the journal's commit interval; `rm -rf` of the project folder /Projects/website (58 files
# in 9 folders) and `rm` of 23 single files (81 deleted); `sync`, the wait, and umount.
# Nothing is written after the deletions; the bench checks that every deleted file's blocks
# still hold its bytes (the most any tool can give back).
#
# Each tool then recovers from the image into a folder of its own:
#   ours          brivo-recovery-cli recover --deep --all --out DIR IMG
#   ext4magic     ext4magic IMG -r -d DIR            (the journal's copies of the inodes)
#   extundelete   extundelete IMG --restore-all -o DIR
#   photorec-free photorec /cmd IMG partition_none,...,freespace,search   (free blocks only)
#   photorec      photorec /cmd IMG partition_none,...,wholespace,search  (the whole volume)
#   tsk_recover   tsk_recover IMG DIR                (the engine's deleted files)
# and is counted: deleted files back byte-exact (distinct md5s of the 81 among what it
# wrote), how many of those at their own path (a written file whose path ends with the
# deleted file's path and has its md5), wall time and peak memory (GNU time -v).
# Each result is kept in the cache, so tools can be run at different times; the table at
# the end shows every result kept.
# Aims: more than every peer on every volume; 90% at their own path; less time than PhotoRec.
# Needs root (loop mounts), e2fsprogs, imagemagick, python3, lame, flac, mkvtoolnix,
# ext4magic, extundelete, testdisk, sleuthkit, GNU time.
set -euo pipefail
export LC_ALL=C.UTF-8

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}/ext-peers
CONVERT=${CONVERT:-/usr/bin/convert}
TOOLS=${TOOLS:-ours ext4magic extundelete photorec-free photorec tsk_recover}
FSES=${FSES:-ext4 ext3 ext2}
CLI=${1:-${BRIVO_CLI:-}}
if [[ -z $CLI ]]; then
  for c in "$HERE/../build-rel/src/cli/brivo-recovery-cli" "$HERE/../build-release/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
fi
if [[ " $TOOLS " == *" ours "* ]]; then
  [[ -n $CLI && -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build), or TOOLS without ours" >&2; exit 2; }
  CLI=$(realpath "$CLI")
fi
[[ $(id -u) -eq 0 ]] || { echo "ext-peers: must run as root (loop mounts)" >&2; exit 2; }
for t in "$CONVERT" python3 lame flac mkvmerge mkfs.ext4 filefrag ext4magic extundelete photorec tsk_recover /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "ext-peers: missing tool: $t" >&2; exit 2; }
done
mkdir -p "$CACHE"
MNT=$(mktemp -d)
trap 'umount "$MNT" 2>/dev/null || true; rmdir "$MNT"' EXIT

# ------------------------------------------------------------------ the files ---

# The plan: KIND PATH FATE a line, FATE keep, rm (removed on its own) or tree (inside the
# project folder removed with rm -rf).
plan() {
  python3 - <<'PY'
rows = []
def add(kind, folder, stem, n, fate_of=lambda i: "keep"):
    for i in range(1, n + 1):
        rows.append((kind, f"{folder}/{stem}{i:03d}.{kind}", fate_of(i)))
add("jpg", "/Pictures/2022", "IMG_2022_", 40, lambda i: "rm" if i % 4 == 0 else "keep")   # 10 removed
add("jpg", "/Pictures/2023", "IMG_2023_", 43)
add("png", "/Pictures/Screenshots", "Screenshot_", 14)
add("pdf", "/Documents/Reports", "report_", 16, lambda i: "rm" if i in (2, 9, 15) else "keep")
add("docx", "/Documents/Letters", "letter_", 14, lambda i: "rm" if i in (1, 7, 13) else "keep")
add("mp3", "/Music/Harbour Band", "track_", 10, lambda i: "rm" if i in (3, 8) else "keep")
add("flac", "/Music/Live", "take_", 6, lambda i: "rm" if i == 2 else "keep")
add("wav", "/Music/Samples", "sample_", 4, lambda i: "rm" if i == 4 else "keep")
add("mkv", "/Videos", "holiday_", 8, lambda i: "rm" if i in (2, 5, 8) else "keep")
P = "/Projects/website"
tree = lambda i: "tree"
add("jpg", P + "/assets/photos", "photo_", 24, tree)
add("png", P + "/assets/icons", "icon_", 12, tree)
add("pdf", P + "/docs/specs", "spec_", 6, tree)
add("docx", P + "/docs/letters", "draft_", 5, tree)
add("mp3", P + "/media/audio", "jingle_", 4, tree)
add("flac", P + "/media/audio", "master_", 2, tree)
add("mkv", P + "/media/video", "promo_", 3, tree)
add("zip", P + "/build", "bundle_", 2, tree)
assert len(rows) == 213 and sum(f != "keep" for _, _, f in rows) == 81, (len(rows), sum(f != "keep" for _, _, f in rows))
for r in rows: print("\t".join(r))
PY
}

# Documents and sound samples, seeded; pictures and the rest below.
make_python_files() { # DIR PLAN
  python3 - "$1" "$2" <<'PY'
import math, os, random, struct, sys, wave, zipfile, zlib
root, plan = sys.argv[1], sys.argv[2]
words = "the of report budget photo holiday invoice meeting notes draft final review plan harbour".split()
for n, line in enumerate(open(plan)):
    kind, path, _ = line.rstrip("\n").split("\t")
    rnd = random.Random(n)
    f = root + path
    os.makedirs(os.path.dirname(f), exist_ok=True)
    text = lambda k: " ".join(rnd.choice(words) for _ in range(k))
    if kind == "pdf":
        stream = zlib.compress(rnd.randbytes(rnd.randint(20000, 400000)))
        objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                b"<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>",
                b"<< /Length %d /Filter /FlateDecode >>\nstream\n" % len(stream) + stream + b"\nendstream",
                b"<< /Title (Report %d %s) >>" % (n, text(2).encode())]
        body = b"%PDF-1.5\n%\xe2\xe3\xcf\xd3\n"; offs = []
        for k, o in enumerate(objs, 1):
            offs.append(len(body)); body += b"%d 0 obj\n" % k + o + b"\nendobj\n"
        x = len(body)
        body += b"xref\n0 6\n0000000000 65535 f \n" + b"".join(b"%010d 00000 n \n" % o for o in offs)
        body += b"trailer\n<< /Size 6 /Root 1 0 R /Info 5 0 R >>\nstartxref\n%d\n%%%%EOF\n" % x
        open(f, "wb").write(body)
    elif kind in ("docx", "zip"):
        with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED) as z:
            zi = lambda name: zipfile.ZipInfo(name, date_time=(2023, 5, 1 + n % 28, 12, 0, 0))
            if kind == "docx":
                z.writestr(zi("[Content_Types].xml"), "<Types/>")
                z.writestr(zi("word/document.xml"), "<w:document>%s</w:document>" % text(rnd.randint(2000, 30000)))
                z.writestr(zi("word/media/image1.bin"), rnd.randbytes(rnd.randint(1000, 80000)))
            else:
                for k in range(rnd.randint(3, 8)):
                    z.writestr(zi("dist/chunk%d.js" % k), rnd.randbytes(rnd.randint(5000, 120000)))
    elif kind in ("wav", "mp3", "flac", "mkv"):
        # A tone with some noise; mp3, flac and mkv are made from it by their encoders.
        w = f if kind == "wav" else f + ".wav"
        with wave.open(w, "wb") as o:
            o.setnchannels(2); o.setsampwidth(2); o.setframerate(44100)
            fr = rnd.uniform(200, 900); frames = 44100 * rnd.randint(2, 6)
            o.writeframes(b"".join(struct.pack("<hh", int(9000 * math.sin(k * fr / 44100 * 6.283)) + rnd.randint(-900, 900),
                                               int(7000 * math.sin(k * fr / 44100 * 4.1))) for k in range(frames)))
PY
}

make_home() { # DIR
  local d=$1 kind p fate i=0
  plan >"$CACHE/plan.tsv"
  echo "ext-peers: making the home folder's 213 files..." >&2
  make_python_files "$d" "$CACHE/plan.tsv"
  while IFS=$'\t' read -r kind p fate; do
    i=$((i + 1))
    case $kind in
      jpg) "$CONVERT" -size "$((640 + i % 5 * 160))x$((480 + i % 3 * 120))" plasma: -seed "$i" -quality 88 "$d$p" ;;
      png) "$CONVERT" -size "$((200 + i % 4 * 60))x$((150 + i % 3 * 40))" plasma: -seed "$i" "$d$p" ;;
      mp3) lame --quiet -V 4 --tt "Track $i" --ta "Harbour Band" --add-id3v2 "$d$p.wav" "$d$p"; rm "$d$p.wav" ;;
      flac) flac --silent -f -T "TITLE=Take $i" -o "$d$p" "$d$p.wav"; rm "$d$p.wav" ;;
      mkv) mkvmerge -q -o "$d$p" --title "Holiday $i" "$d$p.wav"; rm "$d$p.wav" ;;
    esac
  done <"$CACHE/plan.tsv"
}

if [[ ! -d $CACHE/home ]]; then
  rm -rf "$CACHE/home.part"
  make_home "$CACHE/home.part"
  mv "$CACHE/home.part" "$CACHE/home"
fi
# The answer key: path, size and md5 of every deleted file.
if [[ ! -f $CACHE/key.tsv ]]; then
  while IFS=$'\t' read -r kind p fate; do
    [[ $fate == keep ]] && continue
    printf '%s\t%s\t%s\n' "$p" "$(stat -c %s "$CACHE/home$p")" "$(md5sum <"$CACHE/home$p" | cut -d' ' -f1)"
  done <"$CACHE/plan.tsv" >"$CACHE/key.tsv.part"
  mv "$CACHE/key.tsv.part" "$CACHE/key.tsv"
fi

# ----------------------------------------------------------------- the volumes ---

# blocks FILE: "path<TAB>block size<TAB>physical block runs" of a file on the mounted volume.
blocks() {
  printf '%s\t%s\t%s\n' "${1#"$MNT"}" "$(stat -f -c %S "$1")" \
    "$(filefrag -e "$1" | awk -F: '$1 ~ /^ *[0-9]+$/ { gsub(/ /, "", $3); printf "%s ", $3 }')"
}

build_volume() { # FS -> $CACHE/FS.img and $CACHE/FS.blocks
  local fs=$1 img=$CACHE/$1.img.part kind p fate
  [[ -f $CACHE/$fs.img ]] && return
  echo "ext-peers: making the $fs volume..." >&2
  rm -f "$img"; truncate -s 256M "$img"
  "mkfs.$fs" -q -F -b 4096 -E nodiscard -L HOME "$img"
  mount -t "$fs" -o loop "$img" "$MNT"
  cp -r "$CACHE/home"/. "$MNT"/
  sync
  sleep 6   # past the journal's 5 s commit interval
  while IFS=$'\t' read -r kind p fate; do
    [[ $fate == keep ]] || blocks "$MNT$p"
  done <"$CACHE/plan.tsv" >"$CACHE/$fs.blocks"
  rm -rf "$MNT/Projects/website"
  while IFS=$'\t' read -r kind p fate; do [[ $fate == rm ]] && rm "$MNT$p"; done <"$CACHE/plan.tsv"
  sync
  sleep 6
  umount "$MNT"
  mv "$img" "$CACHE/$fs.img"
}

# intact FS: how many deleted files still have every byte in the blocks they had.
intact() {
  python3 - "$CACHE/$1.img" "$CACHE/$1.blocks" "$CACHE/home" <<'PY'
import sys
img, blocks, home = sys.argv[1:4]
n = ok = 0
with open(img, "rb") as d:
    for line in open(blocks, encoding="utf-8"):
        path, bs, runs = line.rstrip("\n").split("\t")
        bs = int(bs); want = open(home + path, "rb").read(); got = bytearray()
        for r in runs.split():
            a, b = (int(x) for x in r.split(".."))
            d.seek(a * bs); got += d.read((b - a + 1) * bs)
        n += 1; ok += bytes(got[:len(want)]) == want
print(f"{ok} of {n}")
PY
}

# ------------------------------------------------------------------- the tools ---

run_tool() { # TOOL FS OUTDIR -> runs it under GNU time into OUTDIR/time.txt
  local tool=$1 img=$CACHE/$2.img out=$3
  rm -rf "$out"; mkdir -p "$out/files"
  local cmd
  case $tool in
    ours) cmd=("$CLI" recover --deep --all --out "$out/files" "$img") ;;
    ext4magic) cmd=(ext4magic "$img" -r -d "$out/files") ;;
    extundelete) cmd=(extundelete "$img" --restore-all -o "$out/files") ;;
    photorec-free) cmd=(photorec /log /d "$out/files/r" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,freespace,search) ;;
    photorec) cmd=(photorec /log /d "$out/files/r" /cmd "$img" partition_none,options,paranoid,fileopt,everything,enable,wholespace,search) ;;
    tsk_recover) cmd=(tsk_recover "$img" "$out/files") ;;
    *) echo "ext-peers: unknown tool $tool" >&2; return 2 ;;
  esac
  printf '%q ' "${cmd[@]}" >"$out/command.txt"
  # PhotoRec writes its log into the working folder; every tool runs from its own.
  (cd "$out" && /usr/bin/time -v -o "$out/time.txt" "${cmd[@]}" >"$out/stdout.txt" 2>"$out/stderr.txt") || true
}

# count TOOL FS OUTDIR: one result line into $CACHE/results/FS.TOOL
count() {
  python3 - "$CACHE/key.tsv" "$3" "$1" "$2" <<'PY' >"$CACHE/results/$2.$1"
import hashlib, os, sys
key_path, out, tool, fs = sys.argv[1:5]
key = {}
for line in open(key_path, encoding="utf-8"):
    p, size, md5 = line.rstrip("\n").split("\t"); key[p] = md5
md5s = set(key.values())
exact, own, written = set(), set(), 0
for root, _, names in os.walk(os.path.join(out, "files")):
    for n in names:
        f = os.path.join(root, n)
        if os.path.islink(f): continue
        written += 1
        h = hashlib.md5(open(f, "rb").read()).hexdigest()
        if h not in md5s: continue
        exact.add(h)
        rel = "/" + os.path.relpath(f, os.path.join(out, "files"))
        for p, m in key.items():
            if m == h and (rel == p or rel.endswith(p)):
                own.add(p)
t = open(os.path.join(out, "time.txt")).read()
def field(name):
    # GNU time -v: "\tElapsed (wall clock) time (h:mm:ss or m:ss): 0:01.23"
    for line in t.splitlines():
        if line.strip().startswith(name): return line.rsplit(": ", 1)[1].strip()
    return "?"
wall = field("Elapsed (wall clock) time")
parts = [float(x) for x in wall.split(":")] if wall != "?" else []
secs = sum(v * 60 ** i for i, v in enumerate(reversed(parts))) if parts else float("nan")
peak = int(field("Maximum resident set size")) / 1024 if field("Maximum resident set size") != "?" else float("nan")
rc = field("Exit status")
print(f"{fs}\t{tool}\t{len(exact)}\t{len(own)}\t{secs:.2f}\t{peak:.1f}\t{written}\t{rc}")
PY
}

mkdir -p "$CACHE/results"
for fs in $FSES; do
  build_volume "$fs"
  echo "ext-peers: $fs: $(intact "$fs") deleted files intact on the volume" >&2
  for tool in $TOOLS; do
    out=$CACHE/run/$fs/$tool
    echo "ext-peers: $fs: $tool..." >&2
    run_tool "$tool" "$fs" "$out"
    count "$tool" "$fs" "$out"
    rm -rf "$out/files"
  done
done

echo "deleted files: $(wc -l <"$CACHE/key.tsv") ($(grep -c '^/Projects/website/' "$CACHE/key.tsv") by rm -rf, the rest by rm)"
printf '%-5s %-14s %6s %9s %9s %10s %8s %5s\n' fs tool exact "own path" "wall s" "peak MiB" written rc
for fs in ext4 ext3 ext2; do
  for tool in ours ext4magic extundelete photorec-free photorec tsk_recover; do
    [[ -f $CACHE/results/$fs.$tool ]] || continue
    IFS=$'\t' read -r f t e o s m w rc <"$CACHE/results/$fs.$tool"
    printf '%-5s %-14s %6s %9s %9s %10s %8s %5s\n' "$f" "$t" "$e" "$o" "$s" "$m" "$w" "$rc"
  done
done
