#!/usr/bin/env bash
# Snapshot of what the command-line program writes, to compare two builds byte for byte.
#
# For every image in tests/fixtures (unpacked into a temporary folder) and in the third-party
# test data, and for every volume 'info' lists, saves into OUT_DIR:
#   NAME.info.json           info --format json
#   NAME[.vN].scan.json      scan --format json [--volume N]   (also --show-hidden)
#   NAME[.vN].report.jsonl   recover --all --show-hidden --report (the recovered files' report)
# each with a .rc file holding the exit code, and stderr beside it. What differs from run to
# run is normalised: the temporary folder's path becomes @TMP@, the output folder @OUT@.
#
# Usage: scripts/cli-output-snapshot.sh CLI OUT_DIR
#   then: diff -r OUT_DIR_BEFORE OUT_DIR_AFTER
# Environment: BRIVO_TESTDATA (default ../shared/testdata beside the project).
set -uo pipefail
export LC_ALL=C.UTF-8 TZ=UTC

[[ $# -eq 2 ]] || { sed -n '2,14p' "$0"; exit 2; }
CLI="$(realpath "$1")"
OUT="$2"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
DATA="${BRIVO_TESTDATA:-$HERE/../shared/testdata}"
mkdir -p "$OUT"
OUT="$(realpath "$OUT")"
TMP="$(mktemp -d /tmp/brivo-snapshot.XXXXXX)"
trap 'rm -rf "$TMP"' EXIT

# Every image, by a stable name, unpacked under $TMP/img.
mkdir -p "$TMP/img"
for f in "$HERE"/tests/fixtures/*.gz; do gzip -dc "$f" >"$TMP/img/$(basename "${f%.gz}")"; done
if [[ -d "$DATA" ]]; then
  for f in "$DATA"/*; do
    case "$f" in
      *.md|*.txt) ;;
      *.gz) gzip -dc "$f" >"$TMP/img/$(basename "${f%.gz}")" ;;
      *) [[ -f "$f" ]] && cp "$f" "$TMP/img/" ;;
    esac
  done
fi

normalise() {  # normalise FILE: per-run paths to fixed words
  sed -i -e "s#$TMP/out[0-9]*#@OUT@#g" -e "s#$TMP#@TMP@#g" "$1"
}

run() {  # run NAME ARGS...: saves stdout, stderr and the exit code under NAME
  local name="$1"; shift
  "$CLI" "$@" >"$OUT/$name" 2>"$OUT/$name.err"
  echo $? >"$OUT/$name.rc"
  normalise "$OUT/$name"
  normalise "$OUT/$name.err"
  # Log lines on stderr start with the time of day; a progress line carries rates.
  sed -i -E -e 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}  /@TIME@  /' -e '/[0-9]+(\.[0-9]+)? ?(MiB\/s|files\/s)\b/d' \
    "$OUT/$name.err"
}

n=0
for img in "$TMP"/img/*; do
  case "$img" in *.E0[2-9]) continue ;; esac  # later segments of a split E01
  base="$(basename "$img")"
  run "$base.info.json" info --format json "$img"
  vols="$(python3 -c 'import json,sys
try:
    d = json.load(open(sys.argv[1]))
except Exception:
    sys.exit(0)
v = [x["index"] for x in d.get("volumes", []) if x.get("readable")]
print(" ".join(str(i) for i in v) if len(v) > 1 else "")' "$OUT/$base.info.json")"
  for v in ${vols:-0}; do
    name="$base"; vol=()
    [[ "$v" != 0 ]] && { name="$base.v$v"; vol=(--volume "$v"); }
    run "$name.scan.json" scan --format json "${vol[@]}" "$img"
    run "$name.hidden.scan.json" scan --format json --show-hidden "${vol[@]}" "$img"
    n=$((n + 1))
    run "$name.recover.txt" recover --all --show-hidden "${vol[@]}" --out "$TMP/out$n" \
      --report "$TMP/report.jsonl" "$img"
    [[ -f "$TMP/report.jsonl" ]] && { mv "$TMP/report.jsonl" "$OUT/$name.report.jsonl"; normalise "$OUT/$name.report.jsonl"; }
    rm -rf "$TMP/out$n"
  done
done
echo "snapshot of $(ls "$TMP/img" | wc -l) images in $OUT"
