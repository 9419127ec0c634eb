#!/usr/bin/env python3
"""The benchmark's bookkeeping, called by run.sh.

  report.py prepare OUT PHOTO...  reads the photos' headers into OUT/photos.json and makes
                                  the codec floor's ready-resampled inputs in OUT/floor-inputs
  report.py heic-sources OUT N    prints the paths of the N largest upright photos
  report.py report OUT            prints the timings, checks every tool's outputs and compares
                                  their pixels with a reference, reports the large share and
                                  prints the ratios; exits 1 when plenwick-share failed or
                                  wrote a wrong set of files

Images are read with the vips command-line tools only, so nothing beyond libvips-tools and
the Python standard library is needed.
"""
import concurrent.futures
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile

# (folder, rule, pixel count), in export order.
SPECS = [("instagram", "width", 1080), ("threads", "width", 1080), ("facebook", "longEdge", 2048)]
TOOLS = {
    "plenwick": "plenwick-share",
    "sharp": "sharp",
    "vipsthumbnail": "vipsthumbnail",
    "imagemagick": "ImageMagick",
    "floor": "codec floor",
}
METADATA_FIELDS = ("exif-data", "xmp-data", "iptc-data", "icc-profile-data")


def target_size(width, height, rule, count):
    """The output size of an upright image: the same arithmetic as TargetSize."""
    reference = width if rule == "width" or width >= height else height
    scale = count / reference if reference else math.inf
    if not scale < 1:
        return (width, height)
    return tuple(max(1, math.floor(scale * edge + 0.5)) for edge in (width, height))


def headers(paths):
    """{path: {field: value}} from one vipsheader run; unreadable files map to {}."""
    result = {path: {} for path in paths}
    if not paths:
        return result
    text = subprocess.run(["vipsheader", "-a", *paths], capture_output=True, text=True).stdout
    for line in text.splitlines():
        path = paths[0]
        if len(paths) > 1:
            path = next((p for p in paths if line.startswith(p + ": ")), None)
            if path is None:
                continue
            line = line[len(path) + 2 :]
        field, _, value = line.partition(": ")
        if value:
            result[path][field] = value
    return result


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def load_photos(out):
    with open(os.path.join(out, "photos.json")) as f:
        return json.load(f)


def prepare(out, paths):
    photos = []
    for path, header in headers(paths).items():
        if "width" not in header:
            sys.exit(f"{path}: vipsheader cannot read it")
        stored = (int(header["width"]), int(header["height"]))
        orientation = int(header.get("orientation", "1"))
        upright = stored[::-1] if orientation in (5, 6, 7, 8) else stored
        targets = {folder: target_size(*upright, rule, count) for folder, rule, count in SPECS}
        # libjpeg decodes at M/8 with the edges rounded up; take the smallest M whose
        # result still covers every output.
        eighths = next(
            m
            for m in range(1, 9)
            if all(
                math.ceil(upright[0] * m / 8) >= w and math.ceil(upright[1] * m / 8) >= h
                for w, h in targets.values()
            )
        )
        name = os.path.splitext(os.path.basename(path))[0]
        photos.append(
            dict(path=path, name=name, stored=stored, orientation=orientation, upright=upright,
                 bytes=os.path.getsize(path), targets=targets, eighths=eighths)
        )
    with open(os.path.join(out, "photos.json"), "w") as f:
        json.dump(photos, f, indent=1)

    inputs = os.path.join(out, "floor-inputs")
    os.makedirs(inputs, exist_ok=True)
    for photo in photos:
        base = os.path.join(inputs, photo["name"])
        with open(base + ".scale", "w") as f:
            f.write(f"{photo['eighths']}\n")
        for folder, (w, h) in photo["targets"].items():
            run("vips", "thumbnail", photo["path"], f"{base}.{folder}.ppm", str(w),
                "--height", str(h), "--size", "force")


def table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    line = lambda cells: "  ".join(
        str(c).ljust(w) if i == 0 else str(c).rjust(w) for i, (c, w) in enumerate(zip(cells, widths))
    )
    print(line(header))
    print(line(["-" * w for w in widths]))
    for row in rows:
        print(line(row))


def read_timings(out):
    """{(set, tool): [(seconds, rss KiB, CPU seconds, status), ...]} from timings.tsv."""
    runs = {}
    with open(os.path.join(out, "timings.tsv")) as f:
        for line in f:
            set_name, tool, _, seconds, rss_kib, cpu, status = line.split()
            runs.setdefault((set_name, tool), []).append(
                (float(seconds), int(rss_kib), float(cpu), int(status)))
    return runs


def timing_rows(runs, set_name, count):
    """Rows of one set's table, and {tool: (median s, fastest s, peak MiB, ok, runs, CPU s)}."""
    summary = {}
    for (name, tool), results in runs.items():
        if name != set_name:
            continue
        summary[tool] = (statistics.median(r[0] for r in results), min(r[0] for r in results),
                         max(r[1] for r in results) / 1024, all(r[3] == 0 for r in results),
                         len(results), statistics.median(r[2] for r in results))
    base = summary.get("plenwick")
    rows = []
    for tool in TOOLS:
        if tool not in summary:
            continue
        seconds, fastest, rss, ok, _, cpu = summary[tool]
        time_ratio = f"{seconds / base[0]:.2f}" if base and base[3] else "-"
        rss_ratio = f"{rss / base[2]:.2f}" if base and base[3] else "-"
        rows.append([TOOLS[tool] + ("" if ok else " (FAILED)"), f"{seconds:.2f}",
                     f"{seconds * 1000 / count:.0f}", f"{fastest * 1000 / count:.0f}",
                     f"{cpu * 1000 / count:.0f}", f"{rss:.0f}", time_ratio, rss_ratio])
    return rows, summary


TIMING_HEADER = ["tool", "total s", "ms/photo", "fastest ms/photo", "CPU ms/photo",
                 "peak RSS MiB", "time / plenwick", "RSS / plenwick"]


def check_outputs(out, photos, tool):
    """Counts of the tool's outputs: found, exact size, off by one pixel, wrong, with
    metadata left in; the chroma subsamplings seen; mean KiB of the 1080 and 2048 files."""
    paths = [os.path.join(out, "out", tool, folder, photo["name"] + ".jpg")
             for photo in photos for folder, _, _ in SPECS]
    found = headers([p for p in paths if os.path.isfile(p)])
    counts = dict(found=0, exact=0, off_by_one=0, wrong=0, metadata=0)
    chroma, kib = set(), {"width": [], "longEdge": []}
    for photo in photos:
        for folder, rule, _ in SPECS:
            path = os.path.join(out, "out", tool, folder, photo["name"] + ".jpg")
            header = found.get(path)
            if header is None:
                continue
            counts["found"] += 1
            if "width" not in header:
                counts["wrong"] += 1
                continue
            size = (int(header["width"]), int(header["height"]))
            expected = tuple(photo["targets"][folder])
            miss = max(abs(a - b) for a, b in zip(size, expected))
            counts["exact" if miss == 0 else "off_by_one" if miss == 1 else "wrong"] += 1
            if any(field in header for field in METADATA_FIELDS):
                counts["metadata"] += 1
            chroma.add(header.get("jpeg-chroma-subsample", "?"))
            kib[rule].append(os.path.getsize(path) / 1024)
    mean = lambda values: f"{statistics.mean(values):.0f}" if values else "-"
    return counts, sorted(chroma), mean(kib["width"]), mean(kib["longEdge"])


def psnr(first, second, size, scratch):
    """PSNR in dB over the RGB samples of two images of the same size."""
    with tempfile.TemporaryDirectory(dir=scratch) as tmp:
        difference, stats = os.path.join(tmp, "d.v"), os.path.join(tmp, "s.mat")
        run("vips", "subtract", first, second, difference)
        run("vips", "stats", difference, stats)
        with open(stats) as f:
            # Row 1 sums over all bands: min, max, sum, sum of squares, ...
            sum_of_squares = float(f.read().splitlines()[1].split()[3])
    mse = sum_of_squares / (size[0] * size[1] * 3)
    return 99.0 if mse == 0 else 10 * math.log10(255 * 255 / mse)


def make_reference(photo, folder, scratch):
    """The output resampled from the whole decoded photo (no shrink-on-load), Lanczos 3,
    not compressed; None when vips cannot hit the size exactly."""
    w, h = photo["targets"][folder]
    sw, sh = photo["stored"]
    tw, th = (h, w) if photo["orientation"] in (5, 6, 7, 8) else (w, h)
    reference = os.path.join(scratch, f"{photo['name']}.{folder}.v")
    with tempfile.TemporaryDirectory(dir=scratch) as tmp:
        resized = os.path.join(tmp, "r.v")
        run("vips", "resize", photo["path"], resized, repr(tw / sw), "--vscale", repr(th / sh),
            "--kernel", "lanczos3")
        run("vips", "autorot", resized, reference)
    header = headers([reference])[reference]
    return reference if (int(header["width"]), int(header["height"])) == (w, h) else None


def quality(out, photos, tools):
    """Mean and lowest PSNR per tool against the reference, and against plenwick-share."""
    scratch = os.path.join(out, "quality")
    os.makedirs(scratch, exist_ok=True)
    folders = [("instagram", "1080w"), ("facebook", "2048")]  # threads repeats instagram
    jobs = [(photo, folder) for photo in photos for folder, _ in folders]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        references = dict(zip(
            [(p["name"], f) for p, f in jobs],
            pool.map(lambda job: make_reference(*job, scratch), jobs),
        ))

        def output(tool, photo, folder):
            return os.path.join(out, "out", tool, folder, photo["name"] + ".jpg")

        sizes = {}
        for tool in tools:
            paths = [output(tool, p, f) for p, f in jobs]
            for path, header in headers([p for p in paths if os.path.isfile(p)]).items():
                if "width" in header:
                    sizes[path] = (int(header["width"]), int(header["height"]))

        tasks = {}
        for tool in tools:
            for photo, folder in jobs:
                mine, size = output(tool, photo, folder), tuple(photo["targets"][folder])
                if sizes.get(mine) != size:
                    continue
                reference = references[(photo["name"], folder)]
                if reference:
                    tasks.setdefault((tool, "reference", folder), []).append(
                        pool.submit(psnr, mine, reference, size, scratch))
                theirs = output("plenwick", photo, folder)
                if tool != "plenwick" and sizes.get(theirs) == size:
                    tasks.setdefault((tool, "plenwick", folder), []).append(
                        pool.submit(psnr, mine, theirs, size, scratch))
        values = {key: [f.result() for f in futures] for key, futures in tasks.items()}

    def cell(key):
        found = values.get(key)
        return f"{statistics.mean(found):.2f} / {min(found):.2f}" if found else "-"

    rows = []
    for tool in tools:
        rows.append([TOOLS[tool]] + [cell((tool, against, folder))
                                     for against in ("reference", "plenwick")
                                     for folder, _ in folders])
    header = ["tool"] + [f"{label} vs {against}" for against in ("reference", "plenwick")
                         for _, label in folders]
    return header, rows


def heic_sources(out, count):
    upright = [p for p in load_photos(out) if p["orientation"] == 1]
    upright.sort(key=lambda p: -p["upright"][0] * p["upright"][1])
    for photo in upright[:count]:
        print(photo["path"])


def large_share(out, runs, jpeg):
    """The large share's lines and its time per photo over the photo set's, or None."""
    path = os.path.join(out, "many.tsv")
    if not os.path.isfile(path) or ("many", "plenwick") not in runs:
        print("\nLarge share: skipped")
        return None, True
    with open(path) as f:
        many, written = (int(v) for v in f.read().split())
    seconds, rss, cpu, status = runs[("many", "plenwick")][0]
    per_photo = seconds * 1000 / many
    ratio = per_photo / (jpeg[0] * 1000 / jpeg[6]) if jpeg else None
    sound = status == 0 and written == 3 * many
    print(f"\nLarge share: {many} photos, exit status {status}, {written} of {3 * many} outputs "
          f"written, {seconds:.1f} s, {per_photo:.0f} ms/photo, CPU {cpu * 1000 / many:.0f} "
          f"ms/photo, peak RSS {rss / 1024:.0f} MiB")
    return ratio, sound


def report(out):
    photos = load_photos(out)
    megapixels = [w * h / 1e6 for w, h in (p["upright"] for p in photos)]
    all_runs = read_timings(out)
    rows, summary = timing_rows(all_runs, "jpeg", len(photos))
    runs = max(count for _, _, _, _, count, _ in summary.values())
    print(f"Photos: {len(photos)} JPEGs, {min(megapixels):.1f}-{max(megapixels):.1f} MP "
          f"(mean {statistics.mean(megapixels):.1f} MP), "
          f"{sum(p['bytes'] for p in photos) / 2**20:.1f} MiB; 3 outputs each; "
          f"{runs} run{'' if runs == 1 else 's'} per tool, median shown\n")
    table(TIMING_HEADER, rows)
    print("\npeak RSS: the largest single process of the job. CPU: user and system time of the "
          "job.\ncodec floor: djpeg at the smallest eighth that covers the outputs, plus cjpeg "
          "of\nready-resampled pixels; one thread.\n")

    heic_count = len([f for f in os.listdir(os.path.join(out, "heic"))
                      if f.endswith(".heic")]) if os.path.isdir(os.path.join(out, "heic")) else 0
    heic_rows, heic_summary = timing_rows(all_runs, "heic", max(heic_count, 1))
    if heic_rows:
        print(f"HEIC: {heic_count} photos (heif-enc quality 50 copies of upright ones), "
              "3 outputs each\n")
        table(TIMING_HEADER, heic_rows)
        print()

    print("Outputs (expected sizes as plenwick computes them: width 1080 / long edge 2048, "
          "halves rounded up, never enlarged)\n")
    checked = [tool for tool in TOOLS if tool in summary and tool != "floor"]
    check_rows, plenwick_sound = [], False
    for tool in checked:
        counts, chroma, kib_1080, kib_2048 = check_outputs(out, photos, tool)
        check_rows.append([TOOLS[tool], f"{counts['found']}/{3 * len(photos)}", counts["exact"],
                           counts["off_by_one"], counts["wrong"], counts["metadata"],
                           ",".join(chroma) or "-", kib_1080, kib_2048])
        if tool == "plenwick":
            plenwick_sound = counts["exact"] == 3 * len(photos) and counts["metadata"] == 0
    table(["tool", "files", "exact size", "off by 1", "wrong", "metadata left", "chroma",
           "KiB 1080w", "KiB 2048"], check_rows)

    if os.environ.get("BENCH_QUALITY", "1") != "0":
        print("\nPSNR in dB, mean / lowest over the photos (higher is closer). reference: the "
              "whole photo\ndecoded and resampled with Lanczos 3 to the same size, not "
              "compressed; plenwick: plenwick-share's\noutput. Only outputs of the expected "
              "size are compared.\n")
        table(*quality(out, photos, checked))

    jpeg = summary.get("plenwick")
    many_ratio, many_sound = large_share(out, all_runs, jpeg and (*jpeg, len(photos)))

    print("\nRatios (median wall time per photo; above 1 means plenwick-share is faster)")
    for set_summary, label, count in ((summary, "JPEG", len(photos)),
                                      (heic_summary, "HEIC", heic_count)):
        mine = set_summary.get("plenwick")
        if not mine or not mine[3]:
            continue
        print(f"  {label}: plenwick-share {mine[0] * 1000 / count:.0f} ms/photo; " + ", ".join(
            f"{TOOLS[tool]} {theirs[0] / mine[0]:.2f}x"
            for tool, theirs in set_summary.items() if tool != "plenwick" and theirs[3]))
    if many_ratio is not None:
        print(f"  Large share: time per photo {many_ratio:.2f}x the photo set's")

    plenwick_ran = "plenwick" in summary and summary["plenwick"][3]
    if not (plenwick_ran and plenwick_sound and many_sound):
        print("\nplenwick-share failed or wrote a wrong set of files")
        return 1
    return 0


def main():
    if len(sys.argv) >= 4 and sys.argv[1] == "prepare":
        prepare(sys.argv[2], sys.argv[3:])
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "heic-sources":
        heic_sources(sys.argv[2], int(sys.argv[3]))
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        return report(sys.argv[2])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main())
