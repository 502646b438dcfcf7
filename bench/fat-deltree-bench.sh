#!/usr/bin/env bash
# Deep FAT scan against the engine on the everyday loss: whole folders removed from a card.
#
#   bench/fat-deltree-bench.sh [BRIVO_CLI]
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench) two images made
# with mkfs.fat and mtools, each filled with `mcopy -s` and then emptied with `mdeltree`:
#   fat32-deltree.img  2 GiB FAT32, 40 folders x 500 files
#   fat16-deltree.img  256 MiB FAT16, 12 folders x 300 files
# Files are written folder after folder, so a folder's directory clusters end up between
# its files' data and are no longer contiguous. Then, per image:
#   - counts: deleted files listed by `fls -r -d -p -m /` (in their folder, in $OrphanFiles)
#     and by `brivo-recovery-cli scan --deep` (in their folder, right folder, $OrphanFiles),
#     and the engine's files (by address) that the deep scan misses;
#   - times (hyperfine medians): deep scan, fast scan, fls.
# Every file's name carries its folder's number, so a file placed in a folder can be checked.
# Targets: every file the engine finds, more in their folder than the engine, no slower.
# Needs: mkfs.fat, mtools, sleuthkit, hyperfine, python3.
set -euo pipefail
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}
RUNS=${RUNS:-5}
CLI=${1:-${BRIVO_CLI:-}}
if [[ -z $CLI ]]; then
  for c in "$HERE/../build/src/cli/brivo-recovery-cli" "$HERE/../build-release/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
fi
[[ -n $CLI && -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build)" >&2; exit 2; }
for t in mkfs.fat mcopy mdeltree fls hyperfine python3; do
  command -v "$t" >/dev/null || { echo "fat-deltree-bench: missing tool: $t" >&2; exit 2; }
done

# build_image IMG SIZE FATBITS FOLDERS FILES
build_image() {
  local img=$1 size=$2 bits=$3 folders=$4 per=$5
  local stage=$CACHE/stage-deltree tmp=$img.part d
  rm -rf "$stage" "$tmp"
  mkdir -p "$stage"
  echo "fat-deltree-bench: staging $((folders * per)) files for $(basename "$img")..." >&2
  python3 - "$stage" "$folders" "$per" <<'PY'
import os, random, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rnd = random.Random(7)
for d in range(folders):
    path = os.path.join(root, f"Photos {d:02d}")
    os.makedirs(path)
    for f in range(per):
        # Mostly one to a few clusters, some larger.
        size = rnd.choice([300, 1500, 3000, 5000, 9000, 14000, 30000])
        with open(os.path.join(path, f"Picture F{d:02d} N{f:04d} from the holiday.jpg"), "wb") as fh:
            fh.write(rnd.randbytes(size))
PY
  truncate -s "$size" "$tmp"
  mkfs.fat -F "$bits" -n DELTREE --invariant "$tmp" >/dev/null
  echo "fat-deltree-bench: copying in with mcopy -s..." >&2
  mcopy -s -Q -i "$tmp" "$stage"/* ::/
  echo "fat-deltree-bench: removing the folders with mdeltree..." >&2
  for ((d = 0; d < folders; d++)); do
    mdeltree -i "$tmp" "$(printf '::/Photos %02d' $d)"
  done
  rm -rf "$stage"
  mv "$tmp" "$img"
}

mkdir -p "$CACHE"
IMG32=$CACHE/fat32-deltree.img
IMG16=$CACHE/fat16-deltree.img
[[ -f $IMG32 ]] || build_image "$IMG32" 2G 32 40 500
[[ -f $IMG16 ]] || build_image "$IMG16" 256M 16 12 300
[[ ${BUILD_ONLY:-0} == 1 ]] && exit 0

status=0
for IMG in "$IMG32" "$IMG16"; do
  name=$(basename "$IMG" .img)
  FLS=$CACHE/$name.fls.txt DEEP=$CACHE/$name.deep.json FAST=$CACHE/$name.fast.json
  fls -r -d -p -m / "$IMG" >"$FLS"
  "$CLI" scan --deep --format json "$IMG" >"$DEEP"
  "$CLI" scan --format json "$IMG" >"$FAST"
  JSON=$CACHE/$name.times.json
  hyperfine -N --warmup 1 --runs "$RUNS" --export-json "$JSON" \
    -n deep "$CLI scan --deep --format json $IMG" \
    -n fast "$CLI scan --format json $IMG" \
    -n fls "fls -r -d -p -m / $IMG" >&2
  echo "== $name ($(du -h --apparent-size "$IMG" | cut -f1))"
  python3 - "$FLS" "$DEEP" "$FAST" "$JSON" <<'PY' || status=1
import json, re, sys
fls_path, deep_path, fast_path, times_path = sys.argv[1:5]

def folder_of(path):
    # The folder a result was placed in, as "Photos NN" (a lost first letter shows as "_").
    parts = [p for p in path.replace("\\", "/").split("/") if p]
    if len(parts) < 2:
        return None
    return parts[-2]

def true_folder(path):
    m = re.search(r"Picture F(\d\d) N\d{4}", path)
    return int(m.group(1)) if m else None

def placed(path):
    f = folder_of(path)
    m = re.fullmatch(r"[P_]hotos (\d\d)", f or "")
    return int(m.group(1)) if m else None

def summary(label, rows):
    orphan = sum(1 for _, p in rows if "$OrphanFiles" in p)
    infolder = [(a, p) for a, p in rows if "$OrphanFiles" not in p and placed(p) is not None]
    right = sum(1 for _, p in infolder if placed(p) == true_folder(p))
    unknown = sum(1 for _, p in infolder if true_folder(p) is None)
    print(f"{label:6s} files {len(rows):6d}   in a folder {len(infolder):6d} (right {right}, wrong {len(infolder) - right - unknown},"
          f" short name only {unknown})"
          f"   in $OrphanFiles {orphan:6d}")
    return {a for a, _ in rows}, len(infolder), right

fls = []
for line in open(fls_path, encoding="utf-8", errors="replace"):
    f = line.rstrip("\n").split("|")
    # Orphans show their short name only, and a type of "-/r".
    if len(f) > 3 and f[3][1:3] == "/r" and "(deleted" in f[1] and ("Picture F" in f[1] or "$OrphanFiles" in f[1]):
        fls.append((f[2].split("-")[0], f[1].replace(" (deleted)", "").replace(" (deleted-realloc)", "")))

def load(path):
    d = json.load(open(path))
    r = d.get("results", d) if isinstance(d, dict) else d
    return [(str(x["inode"]), x["path"]) for x in r if "Picture F" in x["path"] or "$OrphanFiles" in x["path"]]

deep, fast = load(deep_path), load(fast_path)
fa, fin, _ = summary("fls", fls)
da, din, dright = summary("deep", deep)
summary("fast", fast)
missed = fa - da
print(f"engine files the deep scan misses: {len(missed)}")
runs = {r["command"]: r["median"] for r in json.load(open(times_path))["results"]}
print(f"median  deep {runs['deep']*1000:8.1f} ms   fast {runs['fast']*1000:8.1f} ms   fls {runs['fls']*1000:8.1f} ms"
      f"   fls / deep = {runs['fls']/runs['deep']:.1f}x")
ok = not missed and dright > fin and runs["deep"] <= runs["fls"]
print("targets met" if ok else "TARGETS NOT MET")
sys.exit(0 if ok else 1)
PY
done
exit $status
