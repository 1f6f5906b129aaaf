#!/usr/bin/python3
"""Pictures and figures of Quillon's sample-rate converters.

Runs `quillon-resample --measure` (which plays generated tones through the
converter) for 44.1 kHz -> 48 kHz and 48 kHz -> 44.1 kHz at every quality, then
draws for each direction the magnitude response, the pass band zoomed to
+-0.001 dB and the worst image or alias of every tone, and writes one table per
quality level. With --readme the tables replace the block between the
converter-figures markers in that file.

    scripts/converter-pictures.py --resample build/native/bin/quillon-resample --out docs --readme README.md
"""
import argparse
import csv
import math
import os
import re
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PAIRS = [(44100, 48000), (48000, 44100)]
QUALITIES = range(5)
BEGIN = "<!-- converter-figures:begin -->"
END = "<!-- converter-figures:end -->"
FIELDS = {
    "pass": r"pass band \(within [0-9.]+ dB\): ([0-9.]+) Hz",
    "minus3": r"-3 dB point: (.*) Hz",
    "stop": r"stop-band attenuation \(worst image or alias\): ([0-9.]+) dB",
    "delay": r"delay: ([0-9.]+) ms",
    "latency": r"latency: ([0-9.]+) ms",
    "setup": r"set-up time: ([0-9.]+) ms",
    "speed": r"speed: ([0-9.]+) x real time",
}


def measure(resample, source, target, quality, curves):
    text = subprocess.run(
        [resample, "--measure", "--from", str(source), "--rate", str(target),
         "--quality", str(quality), "--curves", curves],
        check=True, capture_output=True, text=True).stdout
    figures = {}
    for key, pattern in FIELDS.items():
        found = re.search(pattern, text)
        if not found:
            sys.exit(f"converter-pictures: no '{key}' in the output of quillon-resample:\n{text}")
        figures[key] = found.group(1)
    rows = []
    with open(curves, newline="") as f:
        for row in csv.DictReader(f):
            rows.append((float(row["frequency_hz"]), float(row["gain_db"]),
                         float(row["worst_spur_db"])))
    if len(rows) < 50:
        sys.exit(f"converter-pictures: only {len(rows)} tones measured in {curves}")
    return figures, rows


def draw(source, target, results, path):
    lower = min(source, target) / 2
    fig, (full, zoom, spurs) = plt.subplots(3, 1, figsize=(9, 11))
    for quality, (figures, rows) in results.items():
        label = f"quality {quality}"
        # The response: the gain of every tone the output carries, and beyond
        # the lower Nyquist the level of what leaks through (images of an
        # upsampler sit at source - f; a downsampler's aliases are the whole output).
        points = [(f, g) for f, g, _ in rows if not math.isnan(g) and f < lower]
        if source < target:
            points += [(source - f, s) for f, _, s in rows if source - f < target / 2]
        else:
            points += [(f, s) for f, g, s in rows if math.isnan(g) or f >= lower]
        points.sort()
        full.plot([p[0] for p in points], [p[1] for p in points], label=label)
        passing = [(f, g) for f, g, _ in rows if not math.isnan(g) and f < lower]
        zoom.plot([p[0] for p in passing], [p[1] for p in passing], label=label)
        spurs.plot([r[0] for r in rows], [r[2] for r in rows], label=label)
    full.set_title(f"{source} Hz -> {target} Hz: magnitude response")
    full.set_ylabel("dB")
    full.set_ylim(-240, 10)
    zoom.set_title("pass band")
    zoom.set_ylabel("dB")
    zoom.set_ylim(-0.001, 0.001)
    spurs.set_title("worst image or alias of each tone")
    spurs.set_ylabel("dB below the tone")
    spurs.set_ylim(-240, 10)
    for axes in (full, zoom, spurs):
        axes.set_xlabel("Hz")
        axes.grid(True, alpha=0.3)
        axes.axvline(lower, color="grey", linewidth=0.8)
        axes.legend(loc="lower left", fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def tables(all_results, pictures):
    lines = [BEGIN, ""]
    for name in pictures:
        lines.append(f"![{name}]({name})")
    lines.append("")
    for quality in QUALITIES:
        lines += [f"Quality {quality}:", "",
                  "| Conversion | Pass band (0.001 dB) | -3 dB | Stop band | Delay | Latency "
                  "| Set-up | Speed (stereo) |",
                  "|---|---|---|---|---|---|---|---|"]
        for (source, target), results in all_results.items():
            f = results[quality][0]
            lines.append(
                f"| {source} -> {target} Hz | {f['pass']} Hz | {f['minus3']} Hz | {f['stop']} dB "
                f"| {f['delay']} ms | {f['latency']} ms | {f['setup']} ms | {f['speed']}x real time |")
        lines.append("")
    lines.append(END)
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--resample", required=True, help="the quillon-resample program")
    parser.add_argument("--out", required=True, help="folder for the PNGs and the CSV curves")
    parser.add_argument("--readme", help="file whose converter-figures block is replaced")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)

    all_results = {}
    pictures = []
    for source, target in PAIRS:
        results = {}
        for quality in QUALITIES:
            curves = os.path.join(args.out, f"resample-{source}-{target}-q{quality}.csv")
            results[quality] = measure(args.resample, source, target, quality, curves)
            os.remove(curves)
            print(f"{source} -> {target} Hz quality {quality}: {results[quality][0]}", flush=True)
        name = f"resample-{source}-{target}.png"
        draw(source, target, results, os.path.join(args.out, name))
        pictures.append(name)
        all_results[(source, target)] = results

    block = tables(all_results, [f"docs/{p}" for p in pictures])
    if args.readme:
        with open(args.readme) as f:
            readme = f.read()
        if BEGIN not in readme or END not in readme:
            sys.exit(f"converter-pictures: {args.readme} has no {BEGIN} ... {END} block")
        start = readme.index(BEGIN)
        stop = readme.index(END) + len(END)
        with open(args.readme, "w") as f:
            f.write(readme[:start] + block + readme[stop:])
    else:
        print(block)


if __name__ == "__main__":
    main()
