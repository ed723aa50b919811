#!/usr/bin/env bash
# tools/dev as a user meets it, run on the host by `tools/dev test` (after a
# build of build/release):
#  - two builds of one build directory at once: one waits for the other, only
#    one of them does the work, and ninja's log stays whole;
#  - `tools/dev python` runs a script kept outside the checkout, from a working
#    directory outside it too, both visible at their own paths;
#  - a failing build prints its error (a throw-away tree whose extension does
#    not compile) and the command exits non-zero.
set -euo pipefail
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
DEV=$HERE/tools/dev
BUILD=${VELMORA_BUILD_DIR:-$HERE/build}
tmp=$(mktemp -d /tmp/velmora-dev-check.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { printf 'check_tools_dev: FAIL: %s\n' "$*" >&2; failed=1; }
pass() { printf 'check_tools_dev: ok: %s\n' "$*"; }

# --- two builds at once -------------------------------------------------------
# Without the extension the build has to link it again: a second or two in
# which the other build arrives.
rm -f "$BUILD"/release/py/velmora/_velmora*.so
"$DEV" build > "$tmp/a.log" 2>&1 & a=$!
"$DEV" build > "$tmp/b.log" 2>&1 & b=$!
wait $a || fail "the first of two concurrent builds failed: $(tail -n 20 "$tmp/a.log")"
wait $b || fail "the second of two concurrent builds failed: $(tail -n 20 "$tmp/b.log")"
links=$(cat "$tmp/a.log" "$tmp/b.log" | grep -c 'Linking CXX shared module' || true)
waits=$(cat "$tmp/a.log" "$tmp/b.log" | grep -c 'waiting for another build of .*/release' || true)
[[ $links == 1 ]] || fail "the extension was linked $links times by two concurrent builds"
[[ $waits -ge 1 ]] || fail "neither of two concurrent builds waited for the other"
"$DEV" build > "$tmp/c.log" 2>&1 || fail "a build after the concurrent ones failed"
grep -q 'no work to do' "$tmp/c.log" || fail "a build after the concurrent ones had work left: $(cat "$tmp/c.log")"
! grep -qiE 'premature end of file|recovering' "$tmp/a.log" "$tmp/b.log" "$tmp/c.log" \
  || fail "ninja's log was damaged by concurrent builds"
((failed)) || pass "two builds at once: one waited, the extension was linked once, ninja's log is whole"

# --- a script from outside the checkout ---------------------------------------
mkdir -p "$tmp/scripts" "$tmp/work"
echo "beside the script" > "$tmp/scripts/data.txt"
echo "in the working directory" > "$tmp/work/input.txt"
cat > "$tmp/scripts/probe.py" <<'EOF'
import os, pathlib, sys
import velmora._velmora
here = pathlib.Path(__file__).resolve().parent
print(here, os.getcwd(), sys.argv[1], sep="\n")
print((here / "data.txt").read_text().strip())
print(pathlib.Path("input.txt").read_text().strip())
pathlib.Path("output.txt").write_text("written inside the root\n")
EOF
if out=$(cd "$tmp/work" && "$DEV" python ../scripts/probe.py arg 2>&1); then
  expected=$(printf '%s\n' "$tmp/scripts" "$tmp/work" arg "beside the script" "in the working directory")
  [[ $out == "$expected" ]] || fail "a script outside the checkout printed: $out"
  [[ -f $tmp/work/output.txt ]] || fail "what a script wrote into the caller's directory is not there"
else
  fail "a script outside the checkout did not run: $out"
fi
((failed)) || pass "a script outside the checkout ran from a working directory outside it"

# --- a failing build prints its error -------------------------------------------
broken=$tmp/broken
mkdir -p "$broken/tools"
cp "$DEV" "$broken/tools/dev"
cat > "$broken/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(broken CXX)
add_library(_velmora MODULE broken.cc)
EOF
echo '#error planted build failure' > "$broken/broken.cc"
if out=$("$broken/tools/dev" python -c 'print("ran")' 2>&1); then
  fail "tools/dev python ran although the extension does not build: $out"
else
  grep -q 'planted build failure' <<< "$out" || fail "a failing build did not print its error: $out"
  grep -qx 'ran' <<< "$out" && fail "python ran after a failing build"
fi
((failed)) || pass "a failing build printed its error and stopped tools/dev python"
exit $failed
