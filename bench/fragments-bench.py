#!/usr/bin/env python3
"""Volumes of files in pieces, searched by content: ours side by side with PhotoRec.

  fragments-bench.py CACHE CARVE_BENCH [PHOTOREC_BF_SECONDS]   (negative: without PhotoRec)

Makes (once, in CACHE) the files from real tools: JPEGs encoded by cjpeg from real
pictures (the PNG pictures of the installed documentation, made PPM by ImageMagick) and
from ImageMagick's plasma at camera-like sizes, half with restart markers (-restart 8)
and half without; PNGs by ImageMagick; DOCX files by zip; PDFs typeset by groff. Then
volumes with no file system (4 KiB clusters), one per layout: whole; two pieces and
three pieces with gaps of 1 to 24 clusters of text, zeros or another file's bytes;
interleaved pairs (runs of 2 to 8 clusters of each, in turn); and a FAT32 card (mkfs.fat)
on which two files at a time were written cluster by cluster in turn, the way two
programs writing at once share out the free clusters, checked by reading every file back
with mtools, then quick-formatted with mkfs.fat. Each volume is searched by carve-bench
(ours), by PhotoRec's default search and by its brute-force mode for JPEG (with a time
limit). Prints per layout and tool: files back byte-exact, results called "Complete"
(or "Complete (in N pieces)") that are not an original, time and peak memory.
"""
import glob, hashlib, os, random, shutil, struct, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures"))
import importlib.util

found = importlib.util.spec_from_file_location(
    "pieces", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures", "make-pieces.py"))
P = importlib.util.module_from_spec(found)
found.loader.exec_module(P)
C = P.C
CONVERT = P.CONVERT


def run(*argv, **kw):
    return subprocess.run(argv, check=True, **kw)


def md5(b):
    return hashlib.md5(b).hexdigest()


def make_files(d):
    """The originals, by kind; made once."""
    if os.path.exists(os.path.join(d, "done")):
        return
    os.makedirs(d, exist_ok=True)
    real = sorted(glob.glob("/root/.rustup/toolchains/*/share/doc/rust/html/**/*.png", recursive=True) +
                  glob.glob("/usr/share/**/*.png", recursive=True), key=lambda p: -os.path.getsize(p))
    seen, pictures = set(), []
    for p in real:
        h = md5(open(p, "rb").read())
        if h not in seen:
            seen.add(h)
            pictures.append(p)
    if glob.glob(os.path.join(d, "photo23.jpg")):
        pictures = []
    i = 0
    for p in pictures[:12]:
        ppm = os.path.join(d, f"real{i}.ppm")
        run(CONVERT, p, "-background", "white", "-flatten", "-resize", "1024x768>", ppm)
        i += 1
    for k in range(12 if pictures else 0):
        run(CONVERT, "-size", "1024x768", "-seed", str(100 + k), "plasma:fractal", os.path.join(d, f"real{i}.ppm"))
        i += 1
    for k, ppm in enumerate(sorted(glob.glob(os.path.join(d, "real*.ppm")))):
        argv = ["cjpeg", "-quality", "90"] + (["-restart", "8"] if k % 2 else [])
        with open(os.path.join(d, f"photo{k:02}.jpg"), "wb") as f:
            run(*argv, ppm, stdout=f)
    for k in range(6):
        run(CONVERT, "-size", "320x240", "-seed", str(200 + k), "plasma:fractal",
            "-define", "png:exclude-chunks=date,time", os.path.join(d, f"image{k}.png"))
    import tempfile
    for k in range(6):
        t = tempfile.mkdtemp()
        open(os.path.join(d, f"letter{k}.docx"), "wb").write(P.docx(t, "x.docx", 300 + k))
        shutil.rmtree(t)
    for k in range(6):
        # A typeset letter of a few pages (groff's PDF output).
        rng = random.Random(400 + k)
        body = "".join(".PP\n" + P.text(rng, 900).decode().replace("\n", " ") + "\n" for _ in range(12 + 6 * k))
        with open(os.path.join(d, f"typeset{k}.pdf"), "wb") as f:
            run("groff", "-Tpdf", "-ms", input=(".TL\nLetter %d\n" % k + body).encode(), stdout=f)
    for p in glob.glob(os.path.join(d, "*.ppm")):
        os.remove(p)
    open(os.path.join(d, "done"), "w").write("")


def originals(d):
    files = {}
    for p in sorted(glob.glob(os.path.join(d, "*.*"))):
        if p.endswith(("jpg", "png", "docx", "pdf")):
            files[os.path.basename(p)] = open(p, "rb").read()
    return files


GAPS = [1, 2, 4, 8, 16, 24]


def gap(rng, kind, n, files):
    if kind == "text":
        return P.text(rng, n * C)
    if kind == "zeros":
        return b"\0" * (n * C)
    # Another file's bytes from its middle: no start of it to be found, only its data.
    other = rng.choice([b for b in files.values() if len(b) > 2 * C])
    at = rng.randrange(C, max(C + 1, len(other) - n * C)) // C * C
    return (other[at:at + n * C] + P.text(rng, n * C))[:n * C]


def layouts(files, rng):
    """name -> (Volume, the files it holds in pieces)."""
    names = list(files)
    out = {}
    v = P.Volume()
    v.put(P.text(rng, C))
    for n in names:
        v.lay(n, files[n], [files[n]], [])
        v.put(P.text(rng, rng.choice([1, 2, 3]) * C))
    out["whole"] = v
    for pieces in (2, 3):
        v = P.Volume()
        v.put(P.text(rng, C))
        k = 0
        for n in names:
            if (len(files[n]) + C - 1) // C < pieces:
                continue
            gaps = []
            for _ in range(pieces - 1):
                gaps.append(gap(rng, ["text", "zeros", "other"][k % 3], GAPS[k % len(GAPS)], files))
                k += 1
            v.lay(n, files[n], P.split(files[n], pieces), gaps)
            v.put(P.text(rng, C))
        out[f"{pieces} pieces"] = v
    v = P.Volume()
    v.put(P.text(rng, C))
    jpgs = [n for n in names if n.endswith(".jpg")]
    for a, b in zip(jpgs[0::2], jpgs[1::2]):
        v.interleave((a, files[a]), (b, files[b]), [rng.randint(2, 8) for _ in range(16)])
        v.put(P.text(rng, C))
    out["interleaved pairs"] = v
    return out


def fat32_two_writers(files, rng, img):
    """A FAT32 card whose files were written two at a time, a cluster of each in turn,
    then quick-formatted. Returns the names it holds."""
    size = 260 << 20  # enough clusters of 4 KiB for FAT32 by the count every reader goes by
    with open(img, "wb") as f:
        f.truncate(size)
    run("mkfs.fat", "-F", "32", "-s", "8", "-S", "512", "-n", "CARD", "-i", "12345678", "--invariant", img,
        stdout=subprocess.DEVNULL)
    b = bytearray(open(img, "rb").read())
    bps, spc = struct.unpack_from("<HB", b, 11)
    reserved, nfats = struct.unpack_from("<HB", b, 14)
    fatsz, root = struct.unpack_from("<II", b, 36)[0], struct.unpack_from("<I", b, 44)[0]
    cl = bps * spc
    data0 = (reserved + nfats * fatsz) * bps
    fat = [struct.unpack_from("<I", b, reserved * bps + 4 * i)[0] for i in range(fatsz * bps // 4)]
    nxt = [root + 1]
    def alloc():
        c = nxt[0]
        nxt[0] += 1
        return c
    entries = []
    names = list(files)
    rng.shuffle(names)
    for i in range(0, len(names) - 1, 2):
        pair = names[i:i + 2]
        chains = {n: [] for n in pair}
        left = {n: (len(files[n]) + cl - 1) // cl for n in pair}
        while any(left.values()):
            for n in pair:
                if left[n]:
                    chains[n].append(alloc())
                    left[n] -= 1
        for n in pair:
            ch = chains[n]
            for j, c in enumerate(ch):
                fat[c] = ch[j + 1] if j + 1 < len(ch) else 0x0FFFFFFF
                part = files[n][j * cl:(j + 1) * cl]
                b[data0 + (c - 2) * cl:data0 + (c - 2) * cl + len(part)] = part
            entries.append((n, ch[0], len(files[n])))
    rootdir = bytearray()
    for k, (n, first, sz) in enumerate(entries):
        base, ext = os.path.splitext(n)
        short = (f"F{k:07}".encode() + ext[1:4].upper().encode().ljust(3))
        rootdir += short + bytes([0x20, 0, 0]) + b"\0" * 6 + struct.pack("<H", first >> 16) + b"\0" * 4 + \
            struct.pack("<HI", first & 0xFFFF, sz)
    # The root directory grows over as many clusters as it needs, after the files.
    rc = [root] + [alloc() for _ in range((len(rootdir) + cl - 1) // cl - 1)]
    for j, c in enumerate(rc):
        fat[c] = rc[j + 1] if j + 1 < len(rc) else 0x0FFFFFFF
        part = rootdir[j * cl:(j + 1) * cl]
        b[data0 + (c - 2) * cl:data0 + (c - 2) * cl + len(part)] = part
    for k in range(nfats):
        off = (reserved + k * fatsz) * bps
        b[off:off + 4 * len(fat)] = struct.pack(f"<{len(fat)}I", *fat)
    open(img, "wb").write(b)
    # mtools reads every file back as written: the layout is a sound FAT32 one.
    t = img + ".check"
    os.makedirs(t, exist_ok=True)
    for k, (n, _, _) in enumerate(entries):
        ext = os.path.splitext(n)[1][1:4]
        run("mcopy", "-n", "-i", img, f"::F{k:07}.{ext}", os.path.join(t, n), env={**os.environ, "MTOOLS_SKIP_CHECK": "1"})
        if open(os.path.join(t, n), "rb").read() != files[n]:
            raise SystemExit(f"mtools reads {n} back differently")
    shutil.rmtree(t)
    run("mkfs.fat", "-F", "32", "-s", "8", "-S", "512", "-n", "CARD", "-i", "12345679", "--invariant", img,
        stdout=subprocess.DEVNULL)
    return [e[0] for e in entries]


def timed(argv, log):
    t0 = time.time()
    # PhotoRec writes its log into the folder it runs in.
    r = subprocess.run(["/usr/bin/time", "-f", "%M", *argv], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                       cwd=os.path.dirname(log))
    secs = time.time() - t0
    try:
        kib = int(r.stderr.strip().splitlines()[-1])
    except (ValueError, IndexError):
        kib = 0
    open(log, "w").write(r.stderr)
    return secs, kib


def score_ours(out, held):
    want = {md5(b) for b in held.values()}
    exact, false_complete = set(), 0
    for line in open(os.path.join(out, "results.tsv")):
        name, cond = line.rstrip("\n").split("\t")[:2]
        h = md5(open(os.path.join(out, name), "rb").read())
        if h in want:
            exact.add(h)
        elif cond.startswith("Complete"):
            false_complete += 1
    return len(exact), false_complete


def score_dir(d, held):
    want = {md5(b) for b in held.values()}
    exact = set()
    for p in glob.glob(os.path.join(d, "**", "*"), recursive=True):
        if os.path.isfile(p) and not p.endswith("report.xml"):
            h = md5(open(p, "rb").read())
            if h in want:
                exact.add(h)
    return len(exact)


def main():
    cache, bench = sys.argv[1], sys.argv[2]
    bf_seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 300
    photorec = bf_seconds >= 0  # a negative limit leaves PhotoRec out
    files_dir = os.path.join(cache, "files")
    make_files(files_dir)
    files = originals(files_dir)
    rng = random.Random(29)
    vols = layouts(files, rng)
    work = os.path.join(cache, "run")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    table = []
    cases = []
    for name, v in vols.items():
        img = os.path.join(work, name.replace(" ", "-") + ".img")
        v.write(img, img + ".tsv")
        held = {n: d for n, d, _ in v.rows}
        cases.append((name, img, held))
    img = os.path.join(work, "fat32-two-writers.img")
    card = fat32_two_writers({n: d for n, d in files.items() if n.endswith((".jpg", ".png"))}, rng, img)
    cases.append(("FAT32 card, two writers", img, {n: files[n] for n in card}))
    for name, img, held in cases:
        by_kind = {}
        for n in held:
            by_kind.setdefault(n.rsplit(".", 1)[1], {})[n] = held[n]
        out = os.path.join(work, "ours-" + os.path.basename(img))
        secs, kib = timed([bench, img, out], out + ".log")
        row = {"layout": name, "files": len(held), "size MiB": os.path.getsize(img) / 2**20}
        row["ours"] = (*score_ours(out, held), secs, kib)
        row["ours by kind"] = {k: score_ours_kind(out, h) for k, h in by_kind.items()}
        if not photorec:
            row["photorec"], row["photorec by kind"] = (0, 0, 0), {}
            table.append(row)
            print(name, {k: v for k, v in row.items() if not k.endswith("by kind")}, flush=True)
            continue
        pr = os.path.join(work, "photorec-" + os.path.basename(img))
        os.makedirs(pr, exist_ok=True)  # PhotoRec makes rec.1, rec.2, ... only inside a folder that is there
        secs, kib = timed(["photorec", "/log", "/d", pr + "/rec", "/cmd", img,
                           "partition_none,options,paranoid,fileopt,everything,enable,search"], pr + ".log")
        row["photorec"] = (score_dir(pr, held), secs, kib)
        row["photorec by kind"] = {k: score_dir(pr, h) for k, h in by_kind.items()}
        bf = os.path.join(work, "photorec-bf-" + os.path.basename(img))
        jpgs = {n: d for n, d in held.items() if n.endswith(".jpg")}
        if name != "whole" and jpgs:
            os.makedirs(bf, exist_ok=True)
            secs, kib = timed(["timeout", str(bf_seconds), "photorec", "/log", "/d", bf + "/rec", "/cmd", img,
                               "partition_none,options,paranoid_bf,fileopt,everything,disable,jpg,enable,search"],
                              bf + ".log")
            row["photorec bf jpg"] = (score_dir(bf, jpgs), len(jpgs), secs, kib)
        table.append(row)
        print(name, {k: v for k, v in row.items() if not k.endswith("by kind")}, flush=True)
    print()
    print("| layout | files | ours: byte-exact | ours: false Complete | ours: s / MiB peak | PhotoRec: byte-exact | "
          "PhotoRec: s / MiB peak | PhotoRec brute force (JPEG): byte-exact / s |")
    print("|---|---|---|---|---|---|---|---|")
    for r in table:
        o, p = r["ours"], r["photorec"]
        kinds = ", ".join(f"{k} {v[0]}/{len(v[2])}" for k, v in sorted(r["ours by kind"].items()))
        pk = ", ".join(f"{k} {v}" for k, v in sorted(r["photorec by kind"].items()))
        bf = r.get("photorec bf jpg")
        bft = f"{bf[0]}/{bf[1]} in {bf[2]:.0f} s" if bf else "-"
        print(f"| {r['layout']} ({r['size MiB']:.0f} MiB) | {r['files']} | {o[0]} ({kinds}) | {o[1]} | "
              f"{o[2]:.2f} / {o[3] / 1024:.0f} | {p[0]} ({pk}) | {p[1]:.2f} / {p[2] / 1024:.0f} | {bft} |")


def score_ours_kind(out, held):
    exact, false_complete = score_ours(out, held)
    return exact, false_complete, held


if __name__ == "__main__":
    main()
