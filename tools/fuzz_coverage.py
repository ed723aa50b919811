"""The lines a fuzz target's corpus leaves unreached, per file, with a reason.

Run by `tools/dev fuzz-coverage` for each target after its corpus has been
replayed in the coverage build: reads llvm-cov's LCOV export of the target's
files and prints every run of unreached lines with the function it lies in,
its first line of source and why it is unreached. The reason comes from
fuzz/coverage-notes.txt when a note there matches (a hand-written judgement:
which seed or harness step would reach the lines, or why nothing should);
otherwise from the shape of the code:

- a function the target never calls: a harness step calling it would reach it;
- a check that must never fire (abort, unreachable): no input should reach it;
- a refusal (an error returned): a seed with the input it refuses would;
- anything else: a branch no input has taken yet.

Notes, one a line: `[TARGET] FILE | WHAT | REASON`, where WHAT is part of the
(demangled) name of the function the lines lie in; a note naming a target
applies to that target only; `#` starts a comment.
"""

import argparse
import re
import subprocess
import sys
from pathlib import Path

NEVER = re.compile(r"\babort\s*\(|\bFAIL\s*\(|__builtin_unreachable|std::unreachable|std::terminate|\bassert\s*\(")
REFUSAL = re.compile(r"std::unexpected|\bunexpected\s*\(|return\s+Error|Error::|\w*err(or)?\s*\(|\bfail\w*\s*\(|"
                     r"return\s+false|refus|reject")


def read_lcov(path):
    """{file: (lines {n: count}, functions [(start, name, count)])}"""
    files, cur = {}, None
    for line in Path(path).read_text().splitlines():
        tag, _, rest = line.partition(":")
        if tag == "SF":
            cur = files.setdefault(rest, ({}, {}, {}))
        elif cur is None:
            continue
        elif tag == "DA":
            n, count = rest.split(",")[:2]
            cur[0][int(n)] = cur[0].get(int(n), 0) + int(count)
        elif tag == "FN":
            parts = rest.split(",")
            cur[1][parts[-1]] = int(parts[0])
        elif tag == "FNDA":
            count, name = rest.split(",", 1)
            cur[2][name] = cur[2].get(name, 0) + int(count)
        elif tag == "end_of_record":
            cur = None
    out = {}
    for f, (lines, starts, counts) in files.items():
        out[f] = (lines, sorted((start, name, counts.get(name, 0)) for name, start in starts.items()))
    return out


def demangle(names):
    # Functions of internal linkage carry their file: "file.cc:_ZN...".
    names = sorted(set(names))
    plain = {n: n.split(":", 1)[1] if re.match(r"[\w.-]+\.(cc|h):", n) else n for n in names}
    try:
        res = subprocess.run(["llvm-cxxfilt"], input="\n".join(plain[n] for n in names), capture_output=True,
                             text=True, check=True)
        return dict(zip(names, res.stdout.splitlines()))
    except (OSError, subprocess.CalledProcessError):
        return plain


def short(fn):
    """A demangled name without its arguments, return type or namespaces."""
    fn = re.sub(r"\(.*$", "", fn.replace("(anonymous namespace)::", "").replace("[abi:cxx11]", ""))
    depth, cut = 0, 0
    for i, c in enumerate(fn):  # the last top-level "::"
        depth += c == "<"
        depth -= c == ">"
        if depth == 0 and fn.startswith("::", i):
            cut = i + 2
    name = fn[cut:]
    owner = fn[:max(cut - 2, 0)]
    owner = re.sub(r"<.*>", "<>", owner).split("::")[-1] if owner else ""
    return f"{owner}::{name}" if owner and not owner.startswith("(") else name


def read_notes(path):
    notes = []
    if path and Path(path).exists():
        for line in Path(path).read_text().splitlines():
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = [p.strip() for p in line.split("|", 2)]
            if len(parts) == 3:
                where = parts[0].split()
                target, f = (None, where[0]) if len(where) == 1 else where[:2]
                notes.append((target, f, parts[1], parts[2]))
    return notes


def runs(lines, starts):
    """Groups the unreached executable lines into runs with no reached line
    and no function start between."""
    out, run = [], []
    for n in sorted(lines):
        if run and (lines[n] != 0 or n in starts):
            out.append(run)
            run = []
        if lines[n] == 0:
            run.append(n)
    if run:
        out.append(run)
    return out


def reason(target, rel, fn, fn_count, text, notes):
    for only, f, what, why in notes:
        if f == rel and only in (None, target) and what in fn:
            return why
    body = "\n".join(text)
    # A lambda never run lies in a function that did run: a branch, not a call.
    if fn_count == 0 and "::$_" not in fn and "lambda" not in fn:
        return f"never called by this target: a harness step calling {short(fn)} would reach it"
    if NEVER.search(body):
        return "a check that must never fire: no input should reach it"
    if REFUSAL.search(body):
        return "a refusal no input reached yet: a seed with the input it refuses would"
    return "a branch no input took yet: a seed (or dictionary token) meeting the condition before it"


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--target", required=True)
    p.add_argument("--lcov", required=True, type=Path)
    p.add_argument("--root", required=True, type=Path, help="the checkout (paths are shown relative to it)")
    p.add_argument("--notes", type=Path)
    p.add_argument("files", nargs="+", help="the target's files, relative to --root")
    args = p.parse_args()

    cov = read_lcov(args.lcov)
    notes = read_notes(args.notes)
    names = demangle(name for _, fns in cov.values() for _, name, _ in fns)
    total = reached = 0
    report = []
    for rel in args.files:
        path = str(args.root / rel)
        if path not in cov:
            report.append(f"  {rel}: not in the coverage data (no line of it is compiled into the target)")
            continue
        lines, fns = cov[path]
        source = Path(path).read_text(errors="replace").splitlines()
        total += len(lines)
        reached += sum(1 for c in lines.values() if c)
        missed = runs(lines, {start for start, _, _ in fns})
        if not missed:
            report.append(f"  {rel}: every line reached")
            continue
        report.append(f"  {rel}: {sum(len(r) for r in missed)} of {len(lines)} lines unreached")
        for r in missed:
            fn, fn_count = "?", 1
            for start, name, count in fns:
                if start <= r[0]:
                    fn, fn_count = names.get(name, name), count
            text = [source[n - 1].strip() for n in range(r[0], r[-1] + 1) if n <= len(source)]
            where = f"{r[0]}" if len(r) == 1 else f"{r[0]}-{r[-1]}"
            first = next((t for t in text if t and t not in "{}"), "")[:60]
            report.append(f"    {where:<9} {short(fn)[:38]:<38} {first:<60}  {reason(args.target, rel, fn, fn_count, text, notes)}")
    pct = 100 * reached / total if total else 0
    print(f"fuzz_{args.target}: {reached} of {total} lines of its files reached ({pct:.1f}%); "
          f"{total - reached} unreached:")
    print("\n".join(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
