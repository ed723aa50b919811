"""The fuzz campaign (tools/fuzz_campaign.py, `tools/dev fuzz-campaign`).

Two throw-away targets are built for these tests alone, in a scratch
directory with their own corpora: `planted` crashes on an input starting with
"FUZZ" (its seed is "FUx"), `grower` has nothing to find but many branches to
cover, and runs each input slowly while libFuzzer merges, so that a test can
stop a campaign in the middle of a merge.

Run inside the root: tools/dev exec python3.15 -m pytest -q tests/dev/test_fuzz_campaign.py
"""

import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

CAMPAIGN = Path(__file__).resolve().parents[2] / "tools" / "fuzz_campaign.py"

PLANTED = r"""
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
  if (n >= 4 && d[0] == 'F' && d[1] == 'U' && d[2] == 'Z' && d[3] == 'Z') __builtin_trap();
  return 0;
}
"""

GROWER = r"""
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <unistd.h>
static bool merging = false;
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  for (int i = 0; i < *argc; ++i)
    if (strncmp((*argv)[i], "-merge", 6) == 0) merging = true;
  return 0;
}
static volatile int sink;
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
  if (merging) usleep(20000);
  int h = 0;
  for (size_t i = 0; i < n && i < 64; ++i) {
    switch (d[i] & 15) {
      case 0: h += 1; break;   case 1: h ^= 3; break;   case 2: h -= 7; break;   case 3: h *= 3; break;
      case 4: h += 11; break;  case 5: h ^= 17; break;  case 6: h -= 19; break;  case 7: h *= 5; break;
      case 8: h += 23; break;  case 9: h ^= 29; break;  case 10: h -= 31; break; case 11: h *= 7; break;
      case 12: h += 37; break; case 13: h ^= 41; break; case 14: h -= 43; break; default: h *= 9; break;
    }
    if (d[i] == 'v' && i + 1 < n && d[i + 1] == 'e' && i + 2 < n && d[i + 2] == 'l') sink = h;
  }
  sink = h;
  return 0;
}
"""


def build(tmp, name, source):
    src = tmp / f"{name}.cc"
    src.write_text(source)
    bins = tmp / "bin"
    bins.mkdir(exist_ok=True)
    subprocess.run(["clang++", "-std=c++20", "-O1", "-g", "-fsanitize=fuzzer,address", str(src),
                    "-o", str(bins / f"fuzz_{name}")], check=True)
    return bins / f"fuzz_{name}"


@pytest.fixture(scope="module")
def binaries(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("targets")
    return {"planted": build(tmp, "planted", PLANTED), "grower": build(tmp, "grower", GROWER)}


@pytest.fixture
def area(tmp_path, binaries):
    """A scratch corpus root, dictionary dir and work dir, the seeds in place."""
    corpus = tmp_path / "corpus"
    for name, seed in (("planted", b"FUx"), ("grower", b"x")):
        (corpus / name).mkdir(parents=True)
        (corpus / name / "seed").write_bytes(seed)
    (tmp_path / "dict").mkdir()
    (tmp_path / "README.md").write_text("before\n<!-- campaign totals: written by tools/dev fuzz-campaign -->\n"
                                        "old\n<!-- end of campaign totals -->\nafter\n")
    return tmp_path


def campaign(area, binaries, *args, targets=()):
    bins = binaries["grower"].parent
    argv = [sys.executable, str(CAMPAIGN), "--bin-dir", str(bins), "--corpus-root", str(area / "corpus"),
            "--dict-dir", str(area / "dict"), "--work-dir", str(area / "work"), "--totals", str(area / "totals.tsv"),
            "--readme", str(area / "README.md"), *args, *targets]
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def features(binary, corpus):
    """Edges and features of a corpus, as libFuzzer counts them on loading it."""
    out = subprocess.run([str(binary), "-runs=0", str(corpus)], capture_output=True, text=True).stderr
    m = re.findall(r"INITED cov: (\d+) ft: (\d+)", out)
    assert m, out
    return int(m[-1][1])


def wait_for(pred, secs, what):
    end = time.monotonic() + secs
    while time.monotonic() < end:
        if pred():
            return
        time.sleep(0.05)
    raise AssertionError(f"no {what} after {secs}s")


def leftovers(area):
    return sorted(p.name for p in (area / "corpus").iterdir() if p.name.startswith("."))


def running(binary):
    """Processes still running `binary`."""
    pids = []
    for p in Path("/proc").iterdir():
        try:
            if p.name.isdigit() and os.readlink(p / "exe") == str(binary):
                pids.append(int(p.name))
        except OSError:
            pass
    return pids


def test_planted_crash_found_minimised_and_reported(area, binaries):
    p = campaign(area, binaries, "--slice", "5", "--hours", str(25 / 3600), "--jobs", "2", "--minimize-secs", "15")
    out, _ = p.communicate(timeout=120)
    assert p.returncode == 1, out
    assert re.search(r"planted: CRASH found", out), out
    crashes = list((area / "work" / "findings" / "planted").glob("crash-*[0-9a-f]"))
    assert len(crashes) == 1, out
    assert crashes[0].read_bytes().startswith(b"FUZZ")
    assert f"reproduce with: tools/dev exec {binaries['planted']} {crashes[0]}" in out
    minimised = Path(f"{crashes[0]}.min")
    assert minimised.read_bytes() == b"FUZZ", out
    assert "minimised to 4 bytes" in out and "b'FUZZ'" in out
    # The crash stopped only its own target: planted had one slice, grower went on.
    assert len(re.findall(r"\] planted +slice", out)) == 1, out
    after = out[out.index("planted: CRASH found"):]
    assert re.search(r"\] grower +slice", after), out
    # The totals and the README's table count both, the finding included.
    rows = {line.split("\t")[0]: line.split("\t") for line in (area / "totals.tsv").read_text().splitlines()}
    assert rows["planted"][8] == "1" and rows["grower"][8] == "0"
    assert float(rows["grower"][1]) > 0 and int(rows["grower"][2]) > 100_000
    readme = (area / "README.md").read_text()
    assert readme.startswith("before\n") and readme.endswith("after\n") and "old" not in readme
    assert re.search(r"\| planted \| [0-9.]+ \| [0-9,]+ \| \d+ \| \d+ \| \d+ \(.*\) \| 1 \|", readme), readme


def test_stopped_campaign_merges_what_it_found_and_keeps_it(area, binaries):
    grower = binaries["grower"]
    before = features(grower, area / "corpus" / "grower")
    p = campaign(area, binaries, "--slice", "5", targets=["grower"])
    lines = []
    for line in p.stdout:
        lines.append(line)
        if "grower " in line and "slice 1 " in line:
            break
    time.sleep(2)  # into the second slice
    p.send_signal(signal.SIGTERM)
    out = "".join(lines) + p.communicate(timeout=90)[0]
    assert p.returncode == 0, out
    assert "stopping" in out and "campaign over (stopped)" in out
    # The interrupted slice was merged too.
    assert re.search(r"grower +slice 2 ", out), out
    corpus = area / "corpus" / "grower"
    assert (corpus / "seed").read_bytes() == b"x"
    assert len(list(corpus.iterdir())) > 5
    assert features(grower, corpus) > before
    assert leftovers(area) == []
    assert running(grower) == []


def test_killed_campaign_loses_no_merged_corpus(area, binaries):
    grower = binaries["grower"]
    corpus = area / "corpus" / "grower"
    merging = area / "corpus" / ".merging-grower"
    reached = features(grower, corpus)
    rng = random.Random(30)
    for round in range(3):
        p = campaign(area, binaries, "--slice", "5", targets=["grower"])
        # Killed while a merge runs (grower is slow under merges: a second or more).
        wait_for(merging.exists, 90, "merge")
        time.sleep(rng.uniform(0, 0.5))
        p.kill()
        out = p.communicate(timeout=10)[0]
        assert corpus.is_dir(), out
        assert (corpus / "seed").read_bytes() == b"x"
        now = features(grower, corpus)
        assert now >= reached, (round, out)
        reached = now
        # The fuzzer and the merge died with the campaign.
        wait_for(lambda: running(grower) == [], 10, "end of the children")
    # The next campaign puts the leftovers right and merges the unmerged finds.
    unmerged = list((area / "work" / "campaign" / "grower" / "slice").iterdir())
    assert unmerged
    p = campaign(area, binaries, "--slice", "5", "--hours", str(6 / 3600), targets=["grower"])
    out = p.communicate(timeout=120)[0]
    assert p.returncode == 0, out
    assert leftovers(area) == []
    assert features(grower, corpus) >= reached
    assert not any(f.exists() for f in unmerged)
