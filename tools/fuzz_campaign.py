"""A fuzzing campaign: every libFuzzer target in rotation, corpora merged back.

Run by `tools/dev fuzz-campaign` inside the root, after the instrumented fuzz
build; see fuzz/README.md for the habit it serves. In short:

- Each target (every fuzz_* binary in --bin-dir, or those named) runs for a
  slice with its dictionary, reading its corpus (fuzz/corpus/<target>/, seeds
  and grown inputs alike) and writing what it finds into a slice directory
  under the work directory. Targets take turns; --jobs of them run at once.
- After each slice the slice's inputs that add features are merged into the
  target's corpus with `-merge=1`. A corpus that grows over its cap is
  minimised afresh: the named seeds stay, and the smallest set of grown
  inputs (files named by their SHA-1) that keeps every feature is chosen. The
  new corpus is built beside the old one and swapped in with one atomic
  rename, so a campaign stopped at any moment (Ctrl-C,
  SIGTERM, even SIGKILL) leaves either the old or the new corpus, never a
  half-merged one; what a slice found but had not merged yet stays in its
  slice directory and is merged after the target's next slice.
- A crash, leak, timeout or out-of-memory ends that target's turns: the input
  stays under the work directory, the reproduction command is printed and the
  input is minimised with `-minimize_crash`.
- CPU time (the fuzzer's, the merge's and the minimiser's) is added up per
  target in a data file kept across campaigns (fuzz/campaign.tsv), and the
  table in fuzz/README.md is rewritten from it when the campaign ends.

A first SIGINT or SIGTERM stops the running slices and merges what they found
(a few seconds); a second one kills everything at once.
"""

import argparse
import ctypes
import datetime
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

GROWN = re.compile(r"[0-9a-f]{40}\Z")  # libFuzzer names what it finds by SHA-1
FINDING = re.compile(r"Test unit written to (\S+)")
STATUS = re.compile(r"cov: (\d+) ft: (\d+)")
RUNS = re.compile(r"stat::number_of_executed_units: (\d+)")
TABLE_BEGIN = "<!-- campaign totals: written by tools/dev fuzz-campaign -->"
TABLE_END = "<!-- end of campaign totals -->"
TOTAL_FIELDS = ("cpu_seconds", "runs", "slices", "edges", "features", "inputs", "bytes", "findings", "updated")
TIMEOUT_SECS = 30        # one input running longer than this is a finding
MIN_SLICE_SECS = 5       # no slice is started for less than this

_libc = ctypes.CDLL(None, use_errno=True)


def child_setup():
    # The children die with the campaign (PR_SET_PDEATHSIG), even a killed one.
    _libc.prctl(1, signal.SIGKILL)


def exchange(a, b):
    """Swaps two directories in one step (renameat2 RENAME_EXCHANGE)."""
    at_fdcwd, rename_exchange = -100, 2
    if _libc.renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), str(a))


def clock():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%H:%M:%S")


def say(*parts):
    print(f"[{clock()}]", *parts, flush=True)


def kib(n):
    return f"{n / 1024:.0f} KB" if n < 1 << 20 else f"{n / (1 << 20):.1f} MB"


def tail(path, lines=40):
    try:
        return "\n".join(Path(path).read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return ""


def corpus_files(d):
    return [p for p in Path(d).iterdir() if p.is_file()] if Path(d).is_dir() else []


def cpu_of(rusage):
    return rusage.ru_utime + rusage.ru_stime


class Totals:
    """The per-target figures of every campaign so far, one TSV row each."""

    def __init__(self, path):
        self.path = Path(path) if path else None
        self.rows = {}
        if self.path and self.path.exists():
            lines = self.path.read_text().splitlines()
            for line in lines[1:]:
                cells = line.split("\t")
                if len(cells) == len(TOTAL_FIELDS) + 1:
                    self.rows[cells[0]] = dict(zip(TOTAL_FIELDS, cells[1:]))

    def row(self, name):
        return self.rows.setdefault(name, {f: "0" for f in TOTAL_FIELDS} | {"updated": "-"})

    def add(self, name, cpu=0.0, runs=0, slices=0, findings=0):
        r = self.row(name)
        r["cpu_seconds"] = f"{float(r['cpu_seconds']) + cpu:.0f}"
        r["runs"] = str(int(r["runs"]) + runs)
        r["slices"] = str(int(r["slices"]) + slices)
        r["findings"] = str(int(r["findings"]) + findings)
        r["updated"] = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")

    def set(self, name, **values):
        self.row(name).update({k: str(v) for k, v in values.items()})

    def cpu_hours(self, name):
        return float(self.row(name)["cpu_seconds"]) / 3600

    def save(self):
        if not self.path:
            return
        out = ["target\t" + "\t".join(TOTAL_FIELDS)]
        out += [name + "\t" + "\t".join(r[f] for f in TOTAL_FIELDS) for name, r in sorted(self.rows.items())]
        tmp = self.path.with_name(self.path.name + ".tmp")
        tmp.write_text("\n".join(out) + "\n")
        os.replace(tmp, self.path)

    def table(self):
        lines = ["| target | CPU-hours | runs | edges | features | corpus | findings | last slice (UTC) |",
                 "|---|---:|---:|---:|---:|---:|---:|---|"]
        cpu = runs = 0
        for name, r in sorted(self.rows.items()):
            cpu += float(r["cpu_seconds"])
            runs += int(r["runs"])
            lines.append(f"| {name} | {float(r['cpu_seconds']) / 3600:.2f} | {int(r['runs']):,} | {r['edges']} "
                         f"| {r['features']} | {r['inputs']} ({kib(int(r['bytes']))}) | {r['findings']} "
                         f"| {r['updated']} |")
        lines.append(f"| all | {cpu / 3600:.2f} | {runs:,} | | | | | |")
        return "\n".join(lines)

    def write_readme(self, readme):
        if not readme or not Path(readme).exists():
            return
        text = Path(readme).read_text()
        start, end = text.find(TABLE_BEGIN), text.find(TABLE_END)
        if start < 0 or end < start:
            return
        text = text[:start + len(TABLE_BEGIN)] + "\n" + self.table() + "\n" + text[end:]
        tmp = Path(readme).with_name(Path(readme).name + ".tmp")
        tmp.write_text(text)
        os.replace(tmp, readme)


class Target:
    def __init__(self, name, binary, args):
        self.name = name
        self.binary = binary
        self.corpus = args.corpus_root / name
        self.merging = args.corpus_root / f".merging-{name}"
        self.old = args.corpus_root / f".old-{name}"
        self.dict = args.dict_dir / f"{name}.dict"
        self.work = args.work_dir / "campaign" / name
        self.slice_dir = self.work / "slice"
        self.findings = args.work_dir / "findings" / name
        # What `tools/dev fuzz` runs grew in the build tree joins the corpus too.
        self.grown = args.work_dir / "corpus" / f"fuzz_{name}"
        self.state = "idle"        # idle, fuzzing, merging, minimizing, done
        self.proc = None
        self.started = 0.0
        self.last_start = -1.0
        self.slices = 0
        self.cpu = 0.0             # this campaign, seconds
        self.runs = 0
        self.edges = self.features = None
        self.new_inputs = 0
        self.errors = 0
        self.finding = None
        self.slice_cpu = 0.0
        self.slice_runs = 0
        self.slice_new = self.slice_gone = 0
        self.merge_inputs = []
        self.full_merge = False
        self.snapshot = set()
        self.minimized = None

    def inputs(self):
        return [d for d in (self.slice_dir, self.corpus, self.grown) if d.is_dir()]

    def recover(self):
        """Puts right what a killed campaign left behind."""
        if self.old.exists():
            if self.corpus.exists():
                shutil.rmtree(self.old)
            else:
                self.old.rename(self.corpus)
        if self.merging.exists():
            shutil.rmtree(self.merging)
        self.corpus.mkdir(parents=True, exist_ok=True)
        self.slice_dir.mkdir(parents=True, exist_ok=True)
        self.findings.mkdir(parents=True, exist_ok=True)


class Campaign:
    def __init__(self, args, targets):
        self.args = args
        self.targets = targets
        self.totals = Totals(args.totals)
        self.signals = 0
        self.stop_handled = 0
        self.deadline = time.monotonic() + args.hours * 3600 if args.hours else None
        self.env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1",
                        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")

    # -- children ---------------------------------------------------------

    def spawn(self, target, argv, log):
        with open(log, "wb") as out:
            target.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                           env=self.env, start_new_session=True, preexec_fn=child_setup)

    def reap(self, target):
        """(exit code, CPU seconds) once target's child has ended, else None."""
        pid, status, rusage = os.wait4(target.proc.pid, os.WNOHANG)
        if pid == 0:
            return None
        code = os.waitstatus_to_exitcode(status)
        target.proc.returncode = code
        target.proc = None
        return code, cpu_of(rusage)

    def active(self):
        return [t for t in self.targets if t.proc is not None]

    # -- one slice --------------------------------------------------------

    def start_slice(self, t, secs):
        t.state = "fuzzing"
        t.started = t.last_start = time.monotonic()
        t.slices += 1
        argv = [str(t.binary), f"-max_total_time={secs}", "-print_final_stats=1", f"-timeout={TIMEOUT_SECS}",
                f"-artifact_prefix={t.findings}/"]
        if t.dict.is_file():
            argv.append(f"-dict={t.dict}")
        argv += [str(d) for d in t.inputs()]
        self.spawn(t, argv, t.work / "fuzz.log")

    def fuzz_ended(self, t, code, cpu):
        t.slice_cpu, t.slice_runs = cpu, 0
        log = (t.work / "fuzz.log").read_text(errors="replace")
        if m := RUNS.findall(log):
            t.slice_runs = int(m[-1])
        if m := STATUS.findall(log):
            t.edges, t.features = int(m[-1][0]), int(m[-1][1])
        artifacts = [a for a in FINDING.findall(log) if not Path(a).name.startswith("slow-unit-")]
        if code != 0 and artifacts:
            t.finding = Path(artifacts[-1])
            shutil.copy(t.work / "fuzz.log", f"{t.finding}.log")
            kind = t.finding.name.split("-")[0]
            say(f"{t.name}: {kind.upper()} found after {t.runs + t.slice_runs:,} runs this campaign; "
                f"input {t.finding} (log beside it)")
            say(f"{t.name}: reproduce with: tools/dev exec {t.binary} {t.finding}")
            print(tail(t.work / "fuzz.log", 30), flush=True)
        elif code != 0 and not self.signals:
            t.errors += 1
            say(f"{t.name}: fuzzer failed (exit {code}), no input kept:\n{tail(t.work / 'fuzz.log', 20)}")
        if self.signals > 1:
            self.account(t)
            t.state = "done"
            return
        self.start_merge(t)

    def start_merge(self, t, full=False):
        """Merges the slice into a copy of the corpus: every input of the
        corpus stays and those of the slice that add features come in. A full
        merge keeps only the named seeds and chooses the grown inputs afresh
        (the smallest set that keeps every feature): that is done when a
        corpus has grown over its cap, and keeps the tree's history free of
        churn otherwise."""
        t.state = "merging"
        t.full_merge = full
        if t.merging.exists():
            shutil.rmtree(t.merging)
        t.merging.mkdir()
        t.snapshot = {p.name for p in corpus_files(t.corpus)}
        for p in corpus_files(t.corpus):
            if full and GROWN.match(p.name):
                continue
            os.link(p, t.merging / p.name)
        t.merge_inputs = corpus_files(t.slice_dir)
        argv = [str(t.binary), "-merge=1", f"-timeout={TIMEOUT_SECS}", f"-artifact_prefix={t.findings}/merge-",
                str(t.merging)] + [str(d) for d in t.inputs()]
        self.spawn(t, argv, t.work / "merge.log")

    def merge_ended(self, t, code, cpu):
        t.slice_cpu += cpu
        if code != 0 or self.signals > 1:
            if code != 0 and self.signals < 2:
                say(f"{t.name}: merge failed (exit {code}); the corpus is unchanged and the slice's inputs "
                    f"wait for the next merge:\n{tail(t.work / 'merge.log', 20)}")
                t.errors += 1
            shutil.rmtree(t.merging, ignore_errors=True)
        else:
            if not t.full_merge and sum(p.stat().st_size for p in corpus_files(t.merging)) > self.cap():
                self.start_merge(t, full=True)
                return
            self.swap_in(t)
        self.account(t)
        self.report_slice(t)
        if t.finding and not self.signals:
            self.start_minimize(t)
        elif self.signals or t.errors >= 3:
            t.state = "done"
        else:
            t.state = "idle"

    def swap_in(self, t):
        before = {p.name for p in corpus_files(t.corpus)}
        merged = corpus_files(t.merging)
        size = sum(p.stat().st_size for p in merged)
        dropped = 0
        # Each corpus stays under its cap: the largest grown inputs go first.
        for p in sorted((p for p in merged if GROWN.match(p.name)), key=lambda p: -p.stat().st_size):
            if size <= self.cap():
                break
            size -= p.stat().st_size
            p.unlink()
            dropped += 1
        if dropped:
            say(f"{t.name}: corpus over {self.args.max_corpus_mb} MB, {dropped} largest grown inputs left out")
        # Files that came into the corpus while the merge ran (a git checkout
        # or merge in the tree) stay.
        for p in corpus_files(t.corpus):
            if p.name not in t.snapshot and not (t.merging / p.name).exists():
                os.link(p, t.merging / p.name)
        exchange(t.merging, t.corpus)
        shutil.rmtree(t.merging)
        for p in t.merge_inputs:
            p.unlink(missing_ok=True)
        after = {p.name for p in corpus_files(t.corpus)}
        t.new_inputs += len(after - before)
        t.slice_new, t.slice_gone = len(after - before), len(before - after)
        self.totals.set(t.name, inputs=len(after), bytes=size)

    def cap(self):
        return self.args.max_corpus_mb << 20

    def account(self, t):
        t.cpu += t.slice_cpu
        t.runs += t.slice_runs
        self.totals.add(t.name, cpu=t.slice_cpu, runs=t.slice_runs, slices=1, findings=1 if t.finding else 0)
        if t.edges is not None:
            self.totals.set(t.name, edges=t.edges, features=t.features)
        self.totals.save()

    def report_slice(self, t):
        files = corpus_files(t.corpus)
        size = sum(p.stat().st_size for p in files)
        new, gone = t.slice_new, t.slice_gone
        t.slice_new = t.slice_gone = 0
        say(f"{t.name:<15} slice {t.slices:<3} runs {t.slice_runs:>10,}  cov {t.edges}  ft {t.features}  "
            f"corpus {len(files)} ({kib(size)})  new +{new} -{gone}  "
            f"cpu {t.slice_cpu:.0f}s, {t.cpu:.0f}s this campaign, {self.totals.cpu_hours(t.name):.2f} h in all")

    def start_minimize(self, t):
        t.state = "minimizing"
        t.minimized = Path(f"{t.finding}.min")
        argv = [str(t.binary), "-minimize_crash=1", f"-max_total_time={self.args.minimize_secs}",
                f"-timeout={TIMEOUT_SECS}", f"-exact_artifact_path={t.minimized}", str(t.finding)]
        self.spawn(t, argv, Path(f"{t.finding}.min.log"))

    def minimize_ended(self, t, code, cpu):
        t.cpu += cpu
        self.totals.add(t.name, cpu=cpu)
        self.totals.save()
        t.state = "done"
        if t.minimized.exists():
            data = t.minimized.read_bytes()
            shown = repr(data[:200]) + (" ..." if len(data) > 200 else "")
            say(f"{t.name}: minimised to {len(data)} bytes: {t.minimized}\n    {shown}")
            say(f"{t.name}: reproduce with: tools/dev exec {t.binary} {t.minimized}")
        else:
            say(f"{t.name}: minimising did not finish (see {t.finding}.min.log); "
                f"reproduce with: tools/dev exec {t.binary} {t.finding}")

    # -- the loop ---------------------------------------------------------

    def on_signal(self, sig, frame):
        self.signals += 1

    def handle_signals(self):
        if self.signals == self.stop_handled:
            return
        self.stop_handled = self.signals
        if self.signals == 1:
            say("stopping: the running slices end and what they found is merged (signal again to abort)")
            for t in self.active():
                if t.state == "fuzzing":
                    os.kill(t.proc.pid, signal.SIGINT)
        else:
            say("aborting: the corpora stay as last merged")
            for t in self.active():
                os.kill(t.proc.pid, signal.SIGKILL)

    def next_target(self):
        idle = [t for t in self.targets if t.state == "idle"]
        return min(idle, key=lambda t: t.last_start) if idle else None

    def run(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, self.on_signal)
        jobs = self.args.jobs
        until = "until stopped" if self.deadline is None else \
            (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=self.args.hours)).strftime(
                "until %H:%M UTC")
        say(f"campaign: {len(self.targets)} target{'s' if len(self.targets) > 1 else ''} ({', '.join(t.name for t in self.targets)}), "
            f"{jobs} at a time, slices of {self.args.slice}s, {until}; corpora in {self.args.corpus_root}")
        while True:
            self.handle_signals()
            for t in self.active():
                if (ended := self.reap(t)) is None:
                    if t.state == "fuzzing" and self.deadline and time.monotonic() > self.deadline + 60:
                        os.kill(t.proc.pid, signal.SIGINT)  # a slice that does not stop on its own
                    continue
                {"fuzzing": self.fuzz_ended, "merging": self.merge_ended,
                 "minimizing": self.minimize_ended}[t.state](t, *ended)
            remaining = None if self.deadline is None else self.deadline - time.monotonic()
            while not self.signals and len(self.active()) < jobs and (remaining is None or remaining >= MIN_SLICE_SECS):
                t = self.next_target()
                if t is None:
                    break
                self.start_slice(t, int(self.args.slice if remaining is None else min(self.args.slice, remaining)))
            if not self.active() and (self.signals or self.next_target() is None
                                      or (remaining is not None and remaining < MIN_SLICE_SECS)):
                break
            time.sleep(0.2)
        self.summary()
        return 1 if any(t.finding for t in self.targets) else 0

    def summary(self):
        say("campaign over" + (" (stopped)" if self.signals else ""))
        for t in self.targets:
            files = corpus_files(t.corpus)
            found = f"  FOUND {t.finding}" if t.finding else ""
            print(f"  {t.name:<15} slices {t.slices:<3} runs {t.runs:>11,}  cov {t.edges}  ft {t.features}  "
                  f"corpus {len(files)} (+{t.new_inputs} this campaign)  cpu {t.cpu / 3600:.2f} h, "
                  f"{self.totals.cpu_hours(t.name):.2f} h in all{found}", flush=True)
        self.totals.write_readme(self.args.readme)


def main():
    p = argparse.ArgumentParser(prog="tools/dev fuzz-campaign", description=__doc__.split("\n")[0])
    p.add_argument("--hours", type=float, default=None, help="stop after this long (default: when stopped)")
    p.add_argument("--jobs", type=int, default=max(1, len(os.sched_getaffinity(0)) - 1),
                   help="targets fuzzed at once (default: one core less than the machine has, at least 1)")
    p.add_argument("--slice", type=int, default=300, help="seconds a target runs before its merge (default 300)")
    p.add_argument("--max-corpus-mb", type=int, default=4, help="cap on each target's corpus (default 4 MB)")
    p.add_argument("--minimize-secs", type=int, default=60, help="time given to -minimize_crash (default 60)")
    p.add_argument("--bin-dir", type=Path, required=True, help="where the fuzz_* binaries are")
    p.add_argument("--corpus-root", type=Path, required=True, help="corpora, one directory per target")
    p.add_argument("--dict-dir", type=Path, required=True, help="dictionaries, <target>.dict")
    p.add_argument("--work-dir", type=Path, required=True, help="slices, logs and findings")
    p.add_argument("--totals", type=Path, help="the running totals (TSV) kept across campaigns")
    p.add_argument("--readme", type=Path, help="a file whose totals table is rewritten at the end")
    p.add_argument("targets", nargs="*", metavar="TARGET", help="only these targets (default: all)")
    args = p.parse_args()
    if args.jobs < 1 or args.slice < MIN_SLICE_SECS:
        p.error(f"--jobs must be at least 1 and --slice at least {MIN_SLICE_SECS}")

    found = {b.name.removeprefix("fuzz_"): b for b in sorted(args.bin_dir.glob("fuzz_*"))
             if b.is_file() and os.access(b, os.X_OK)}
    wanted = [n.removeprefix("fuzz_") for n in args.targets] or list(found)
    if unknown := [n for n in wanted if n not in found]:
        p.error(f"no fuzz target {', '.join(unknown)} in {args.bin_dir} (there are: {', '.join(found)})")
    if not wanted:
        p.error(f"no fuzz targets in {args.bin_dir}")

    args.work_dir.mkdir(parents=True, exist_ok=True)
    lock = open(args.work_dir / "campaign.lock", "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f"another campaign is running on {args.work_dir}")
    os.nice(19 - os.nice(0))
    targets = [Target(n, found[n], args) for n in wanted]
    for t in targets:
        t.recover()
    return Campaign(args, targets).run()


if __name__ == "__main__":
    sys.exit(main())
