"""Turns the benchmarks' recorded comparisons into the guide's figures.

    python3 tools/bench_report.py RECORD OUTDIR
    python3 tools/bench_report.py --redraw OUTDIR

RECORD is the JSON-lines file the benchmarks append to when
VELMORA_BENCH_RECORD names it (bench/_harness.py `record`, and the C++
benchmarks that compare whole connections, whose rows name their
`source`); `tools/dev bench --report` sets it, runs them and then this.
`--redraw` rebuilds figures.md and the charts from OUTDIR/bench.json as it
stands, without running anything. Writes into OUTDIR:

- bench.json: the machine the run was made on and every comparison;
- figures.md: a summary of the run (what was measured, where velmora is
  slower) and the same comparisons as tables, included by docs/performance.md;
- bench-NAME.svg: one chart per benchmark (bench/NAME.py), velmora's speedup
  against each peer, one bar per comparison, on a log scale shared by all the
  charts (1 = as fast as the peer), drawn for the guide's text column.

The guide's prose about the figures is this summary: it is written from the
same data as the charts, so it cannot go stale.
"""

import json
import os
import platform
import sys
import time
from collections import defaultdict
from pathlib import Path


def machine():
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = None
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                mem = round(int(line.split()[1]) / 1024 / 1024)
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "memory_gib": mem, "system": platform.platform(),
            "date": time.strftime("%Y-%m-%d", time.gmtime())}


def load(path):
    rows = []
    for line in Path(path).read_text(encoding="utf-8").splitlines():
        if line.strip():
            rows.append(json.loads(line))
    return rows


def groups(rows):
    """Rows by benchmark, in the order each benchmark first appears."""
    out = {}
    for r in rows:
        out.setdefault(r["bench"], []).append(r)
    return out


def source(row):
    """The file a comparison comes from: its own `source`, else bench/NAME.py."""
    return row.get("source") or f"bench/{row['bench']}.py"


def summary(data):
    """The prose the guide shows above the charts, from the data alone."""
    rows = data["rows"]
    by_bench = groups(rows)
    names = ", ".join(f"`{source(rs[0])}`" for rs in by_bench.values())
    slower = [r for r in rows if r["speedup"] < 1]
    out = [f"This run recorded {len(rows)} comparisons from {len(by_bench)} "
           f"benchmarks: {names}. velmora is faster than the peer in "
           f"{len(rows) - len(slower)} of them."]
    if slower:
        out.append(" Slower (red bars): " + "; ".join(
            f"{r['operation']} against {r['peer']} (`{source(r)}`, "
            f"{r['speedup']:.2f}×)" for r in slower) + ".")
    else:
        out.append(" It is slower in none.")
    return "".join(out)


def figures_md(data):
    m = data["machine"]
    out = [f"Measured on {m['date']}: {m['cpu']}, {m['cores']} cores, "
           f"{m['memory_gib']} GiB, {m['system']}; {data['python']}.", "",
           summary(data), ""]
    for bench, rows in groups(data["rows"]).items():
        out += [f"### `{source(rows[0])}`", "",
                f"![velmora's speedup in {source(rows[0])}](perf/bench-{bench}.svg)", ""]
        titles = defaultdict(list)
        for r in rows:
            titles[r["title"]].append(r)
        for title, trows in titles.items():
            unit = trows[0]["unit"]
            higher = unit.endswith("/s")
            out += [f"**{title}** ({unit}; {'higher' if higher else 'lower'} is better)", "",
                    "| operation | peer | velmora | peer | speedup |",
                    "|---|---|---:|---:|---:|"]
            for r in trows:
                out.append(f"| {r['operation']} | {r['peer']} | {r['velmora']:,.1f} | "
                           f"{r['peer_value']:,.1f} | {r['speedup']:.2f}× |")
            out.append("")
    return "\n".join(out)


# The charts are drawn at the width of the guide's text column (780 px) so that
# their text shows at its set size: 10 pt is about 14 px there.
WIDTH_IN = 7.8
FONT_PT = 10


def charts(data, outdir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, NullLocator

    matplotlib.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "velmora",
                                "font.size": FONT_PT})
    values = [r["speedup"] for r in data["rows"]]
    # One log scale for every chart, so that bars compare across charts.
    lo = min(0.5, min(values) / 1.3)
    hi = max(2.0, max(values) * 1.6)
    ticks = [t for t in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100) if lo <= t <= hi]
    written = []
    for old in outdir.glob("bench-*.svg"):
        old.unlink()
    for bench, rows in groups(data["rows"]).items():
        labels = [f"{r['operation']} vs {r['peer']}" for r in rows]
        speed = [r["speedup"] for r in rows]
        fig, ax = plt.subplots(figsize=(WIDTH_IN, 0.34 * len(rows) + 0.9))
        colors = ["#2b7bba" if x >= 1 else "#d9534f" for x in speed]
        y = list(range(len(rows)))
        ax.barh(y, speed, color=colors, height=0.7)
        ax.set_yticks(y, labels)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(lo, hi)
        ax.xaxis.set_major_locator(FixedLocator(ticks))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.set_xticklabels([f"{t:g}×" for t in ticks])
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xlabel("velmora's speedup over the peer (log scale; right of 1: faster)")
        for i, x in enumerate(speed):
            ax.text(x, i, f" {x:.2f}×", va="center")
        ax.spines[["top", "right"]].set_visible(False)
        fig.tight_layout()
        path = outdir / f"bench-{bench}.svg"
        fig.savefig(path, metadata={"Date": None})
        plt.close(fig)
        written.append(path.name)
    return written


def main(argv):
    if len(argv) == 3 and argv[1] == "--redraw":
        outdir = Path(argv[2])
        data = json.loads((outdir / "bench.json").read_text(encoding="utf-8"))
    elif len(argv) == 3:
        record, outdir = Path(argv[1]), Path(argv[2])
        rows = load(record)
        if not rows:
            raise SystemExit(f"{record}: no comparisons recorded")
        outdir.mkdir(parents=True, exist_ok=True)
        python = os.environ.get("VELMORA_BENCH_PYTHON") or f"CPython {platform.python_version()}"
        data = {"machine": machine(), "python": python, "rows": rows}
        (outdir / "bench.json").write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")
    else:
        raise SystemExit(__doc__)
    (outdir / "figures.md").write_text(figures_md(data), encoding="utf-8")
    written = charts(data, outdir)
    print(f"wrote {outdir}/figures.md, {', '.join(written)} "
          f"({len(data['rows'])} comparisons)")


if __name__ == "__main__":
    main(sys.argv)
