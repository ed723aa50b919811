"""Turns the benchmarks' recorded comparisons into the guide's figures.

    python3 tools/bench_report.py RECORD OUTDIR

RECORD is the JSON-lines file the benchmarks append to when
VELMORA_BENCH_RECORD names it (bench/_harness.py `record`, and the C++
benchmarks that compare whole connections, whose rows name their `source`); `tools/dev bench
--report` sets it, runs them and then this. Writes into OUTDIR:

- bench.json: the machine the run was made on and every comparison;
- figures.md: the same as tables, included by docs/performance.md;
- bench.png: velmora's speedup against each peer, one bar per comparison,
  on a log scale (1 = as fast as the peer).
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


def figures_md(data):
    m = data["machine"]
    out = [f"Measured on {m['date']}: {m['cpu']}, {m['cores']} cores, "
           f"{m['memory_gib']} GiB, {m['system']}; {data['python']}.", ""]
    groups = defaultdict(list)
    for r in data["rows"]:
        groups[(r["bench"], r["title"])].append(r)
    for (bench, title), rows in groups.items():
        unit = rows[0]["unit"]
        higher = unit.endswith("/s")
        source = rows[0].get("source") or f"bench/{bench}.py"
        out += [f"**{title}** (`{source}`, {unit}; "
                f"{'higher' if higher else 'lower'} is better)", "",
                "| operation | peer | velmora | peer | speedup |", "|---|---|---:|---:|---:|"]
        for r in rows:
            out.append(f"| {r['operation']} | {r['peer']} | {r['velmora']:,.1f} | "
                       f"{r['peer_value']:,.1f} | {r['speedup']:.2f}× |")
        out.append("")
    return "\n".join(out)


def chart(data, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = data["rows"]
    labels = [f"{r['bench']}: {r['operation']} vs {r['peer']}" for r in rows]
    values = [r["speedup"] for r in rows]
    height = max(3.0, 0.28 * len(rows) + 1.2)
    fig, ax = plt.subplots(figsize=(10, height))
    colors = ["#2b7bba" if x >= 1 else "#d9534f" for x in values]
    y = range(len(rows))
    ax.barh(y, values, color=colors)
    ax.set_yticks(list(y), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("velmora speedup over the peer (log scale; > 1: velmora is faster)")
    m = data["machine"]
    ax.set_title(f"velmora against its peers — {m['cpu']}, {m['cores']} cores, {m['date']}",
                 fontsize=9)
    for i, x in enumerate(values):
        ax.text(x, i, f" {x:.2f}×", va="center", fontsize=6)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv):
    if len(argv) != 3:
        raise SystemExit(__doc__)
    record, outdir = Path(argv[1]), Path(argv[2])
    rows = load(record)
    if not rows:
        raise SystemExit(f"{record}: no comparisons recorded")
    outdir.mkdir(parents=True, exist_ok=True)
    python = os.environ.get("VELMORA_BENCH_PYTHON") or f"CPython {platform.python_version()}"
    data = {"machine": machine(), "python": python, "rows": rows}
    (outdir / "bench.json").write_text(json.dumps(data, indent=1) + "\n", encoding="utf-8")
    (outdir / "figures.md").write_text(figures_md(data), encoding="utf-8")
    chart(data, outdir / "bench.png")
    print(f"wrote {outdir}/bench.json, figures.md, bench.png ({len(rows)} comparisons)")


if __name__ == "__main__":
    main(sys.argv)
