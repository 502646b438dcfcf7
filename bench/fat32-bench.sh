#!/usr/bin/env bash
# Direct FAT32 scan speed against the engine's listing and a read-only fsck walk.
#
#   bench/fat32-bench.sh [BRIVO_CLI]
#
# Builds once (cached in $BRIVO_BENCH_CACHE, default /var/tmp/brivo-bench) a FAT32 image
# made with mkfs.fat and mtools: 30,000 files with long names in nested folders, about
# half of them deleted, some of them with their whole folder. Then times, side by side
# and warm (hyperfine medians):
#   brivo-recovery-cli scan --format json IMAGE     (output discarded)
#   fls -r -d -p -m / IMAGE
#   fsck.fat -n IMAGE
# and prints the ratios and each command's peak memory (/usr/bin/time -v).
# Targets: at least 10x faster than fls, no slower than 2x fsck.fat -n.
# Needs: mkfs.fat, mtools, sleuthkit, dosfstools, hyperfine, python3, GNU time.
set -euo pipefail
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${BRIVO_BENCH_CACHE:-/var/tmp/brivo-bench}
IMG=$CACHE/fat32-30k.img
RUNS=${RUNS:-15}
CLI=${1:-${BRIVO_CLI:-}}
if [[ -z $CLI ]]; then
  for c in "$HERE/../build/src/cli/brivo-recovery-cli" "$HERE/../build-release/src/cli/brivo-recovery-cli"; do
    [[ -x $c ]] && { CLI=$c; break; }
  done
fi
[[ -n $CLI && -x $CLI ]] || { echo "usage: $0 path/to/brivo-recovery-cli (an optimised build)" >&2; exit 2; }
for t in mkfs.fat mcopy mdel mdeltree fls fsck.fat hyperfine python3 /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "fat32-bench: missing tool: $t" >&2; exit 2; }
done

TOP=30 SUB=20 PER=50  # 30,000 files
GONE_DIRS=6           # Project NN / Subfolder 19 of the first six projects go whole

build_image() {
  local stage=$CACHE/stage tmp=$IMG.part
  rm -rf "$stage" "$tmp"
  mkdir -p "$stage"
  echo "fat32-bench: staging $((TOP * SUB * PER)) files..." >&2
  python3 - "$stage" $TOP $SUB $PER <<'PY'
import os, sys
root, top, sub, per = sys.argv[1], *map(int, sys.argv[2:])
for t in range(top):
    for s in range(sub):
        d = os.path.join(root, f"Project folder {t:02d}", f"Subfolder number {s:02d} with a long name")
        os.makedirs(d)
        for f in range(per):
            n = (t * sub + s) * per + f
            with open(os.path.join(d, f"Document {n:05d} with a fairly long name.txt"), "w") as fh:
                fh.write(f"document {n}\n" * (1 + n % 40))
PY
  truncate -s 512M "$tmp"
  mkfs.fat -F 32 -s 8 -S 512 -n BENCH30K --invariant "$tmp" >/dev/null
  echo "fat32-bench: copying in with mcopy..." >&2
  mcopy -s -Q -i "$tmp" "$stage"/* ::/
  echo "fat32-bench: deleting about half..." >&2
  local t s f n
  for ((t = 0; t < GONE_DIRS; t++)); do
    mdeltree -i "$tmp" "$(printf '::/Project folder %02d/Subfolder number %02d with a long name' $t $((SUB - 1)))"
  done
  for ((t = 0; t < TOP; t++)); do
    for ((s = 0; s < SUB; s++)); do
      ((t < GONE_DIRS && s == SUB - 1)) && continue
      for ((f = 1; f < PER; f += 2)); do
        n=$(((t * SUB + s) * PER + f))
        printf '::/Project folder %02d/Subfolder number %02d with a long name/Document %05d with a fairly long name.txt\n' $t $s $n
      done
    done
  done | xargs -d '\n' -n 2000 mdel -i "$tmp"
  rm -rf "$stage"
  mv "$tmp" "$IMG"
}

mkdir -p "$CACHE"
[[ -f $IMG ]] || build_image
DELETED=$(fls -r -d -p -m / "$IMG" | grep -c '^0|.*|r/r' || true)
echo "image: $IMG ($(du -h --apparent-size "$IMG" | cut -f1)), files $((TOP * SUB * PER)), deleted files listed by fls: $DELETED"
FOUND=$("$CLI" scan --format json "$IMG" | python3 -c 'import json,sys; d=json.load(sys.stdin); r=d.get("results", d) if isinstance(d, dict) else d; print(len(r))' 2>/dev/null || echo "?")
echo "deleted files found by brivo-recovery-cli: $FOUND"

JSON=$CACHE/fat32-bench.json
hyperfine -N --warmup 3 --runs "$RUNS" --export-json "$JSON" \
  -n brivo "$CLI scan --format json $IMG" \
  -n fls "fls -r -d -p -m / $IMG" \
  -n fsck "fsck.fat -n $IMG" >&2 || {
  # fsck.fat exits 1 when it finds something to fix; run it through a wrapper then.
  hyperfine -N --warmup 3 --runs "$RUNS" -i --export-json "$JSON" \
    -n brivo "$CLI scan --format json $IMG" \
    -n fls "fls -r -d -p -m / $IMG" \
    -n fsck "fsck.fat -n $IMG" >&2
}

peak() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'; }
PB=$(peak "$CLI" scan --format json "$IMG")
PF=$(peak fls -r -d -p -m / "$IMG")
PK=$(peak fsck.fat -n "$IMG")

python3 - "$JSON" "$PB" "$PF" "$PK" <<'PY'
import json, sys
runs = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
res = {c: r["median"] for c, r in runs.items()}
cpu = {c: r["user"] + r["system"] for c, r in runs.items()}
b, f, k = res["brivo"], res["fls"], res["fsck"]
print(f"median  brivo scan {b*1000:8.1f} ms   fls {f*1000:8.1f} ms   fsck.fat -n {k*1000:8.1f} ms")
# On a busy machine wall times stretch with the load; CPU time (user + system, mean) does not.
print(f"cpu     brivo scan {cpu['brivo']*1000:8.1f} ms   fls {cpu['fls']*1000:8.1f} ms   fsck.fat -n {cpu['fsck']*1000:8.1f} ms")
print(f"peak RSS brivo scan {sys.argv[2]} KiB   fls {sys.argv[3]} KiB   fsck.fat -n {sys.argv[4]} KiB")
print(f"fls / brivo = {f/b:.1f}x (target >= 10)   brivo / fsck.fat = {b/k:.2f}x (target <= 2)")
ok = f / b >= 10 and b / k <= 2
print("targets met" if ok else "TARGETS NOT MET")
sys.exit(0 if ok else 1)
PY
