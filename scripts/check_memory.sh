#!/usr/bin/env bash
# Memory and undefined-behaviour checks of the extension, from the repository
# root of a clone where `pip install ".[test]"` has installed the test
# dependencies:
#
#   1. builds the AddressSanitizer + UndefinedBehaviorSanitizer variant
#      (-DKESTRUM_SANITIZE=ON, portable scalar kernels only) in build/sanitize;
#   2. runs the whole pytest suite against it, the sanitizer runtime preloaded
#      into the interpreter, with leak detection (scripts/lsan.supp hides the
#      interpreter's and the libraries' own allocations, not kestrum's);
#   3. builds the normal module (RelWithDebInfo) in build/valgrind;
#   4. runs scripts/exercise_all.py under valgrind memcheck: any memory error
#      outside scripts/valgrind-python.supp, or any definite leak whose stack
#      goes through kestrum, fails.
#
# Fails on the first stage that finds anything. Prints the time of each stage.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
JOBS=${KESTRUM_BUILD_JOBS:-2}  # the machine has 2 cores, shared

# The interpreter itself, not a version-manager shim: LD_PRELOAD must reach
# the process that imports kestrum, and the tests start sys.executable.
PYTHON=$(python3 -c 'import sys; print(sys.executable)')

say() { printf '\n=== %s\n' "$*"; }
fail() { printf '\ncheck_memory: FAILED: %s\n' "$*" >&2; exit 1; }

TIMES=()
stage_start() { STAGE_NAME=$1; STAGE_T0=$(date +%s); say "$1"; }
stage_end() {
  local took=$(( $(date +%s) - STAGE_T0 ))
  TIMES+=("$(printf '%-40s %4d s' "$STAGE_NAME" "$took")")
  echo "--- $STAGE_NAME: ${took} s"
}

"$PYTHON" -c 'import pytest, numpy, pandas, scipy, statsmodels, hypothesis' 2>/dev/null ||
  fail "the test dependencies are missing: run  python3 -m pip install \".[test]\"  first"
for tool in cmake ninja gcc; do
  command -v "$tool" >/dev/null || fail "$tool not found"
done
if ! command -v valgrind >/dev/null; then
  say "installing valgrind"
  apt-get update && apt-get install -y valgrind
fi

T_ALL=$(date +%s)

# build_module DIR SANITIZE: configures and builds the extension into DIR.
build_module() {
  cmake -S "$ROOT" -B "$1" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUM_SANITIZE="$2" \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
  ninja -C "$1" -j "$JOBS"
}

# ---------------------------------------------------------------- 1. sanitizer build

SAN_BUILD=$ROOT/build/sanitize
stage_start "sanitizer build"
build_module "$SAN_BUILD" ON
stage_end

# ---------------------------------------------------------------- 2. suite under ASan/UBSan

stage_start "pytest under ASan+UBSan"
ASAN_LIB=$(gcc -print-file-name=libasan.so)
STDCXX_LIB=$(gcc -print-file-name=libstdc++.so)
[[ -e $ASAN_LIB && -e $STDCXX_LIB ]] || fail "gcc's libasan.so or libstdc++.so not found"
REPORTS=$SAN_BUILD/reports
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
PYTEST_LOG=$SAN_BUILD/pytest.log

# The interpreter is not linked with libstdc++, so libasan, preloaded alone,
# finds no __cxa_throw to wrap and aborts at the first C++ throw: preload
# libstdc++ right after it. (libubsan comes in as a dependency of the module;
# it needs no preloading.)
# Every process started by the tests inherits these variables: the tests'
# own child interpreters are checked the same way, and their reports go to
# $REPORTS (log_path) even when the test captures their output.
# quarantine_size_mb: ASan keeps freed memory out of reuse for a while to
# catch use after free; its default 256 MB makes the resident-memory bounds
# of tests/test_leaks.py fail on quarantine alone. 1 MB still catches a use
# of memory freed within the same call.
# -p no:benchmark: pytest-benchmark, when installed, runs git at start-up,
# and LeakSanitizer (inherited through LD_PRELOAD) reports git's own leaks.
set +e
env \
  LD_PRELOAD="$ASAN_LIB $STDCXX_LIB" \
  PYTHONPATH="$SAN_BUILD" \
  PYTHONMALLOC=malloc \
  ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:quarantine_size_mb=1:thread_local_quarantine_size_kb=64:log_path=$REPORTS/asan" \
  LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  "$PYTHON" -c '
import os, sys
import kestrum
where = os.path.realpath(kestrum.__file__)
print("kestrum under test:", where)
if os.path.dirname(where) != os.path.realpath(sys.argv[1]):
    sys.exit("kestrum was imported from " + where + ", not from the sanitizer build " + sys.argv[1])
try:
    import kestrum_frames._native as frames_native  # its tests are skipped without the frames extra
except ImportError:
    pass
else:
    where = os.path.realpath(frames_native.__file__)
    if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
        sys.exit("kestrum_frames was imported from " + where + ", not from the sanitizer build")
import pytest
sys.exit(pytest.main(["-p", "no:benchmark", "-q", "tests"]))
' "$SAN_BUILD" 2>&1 | tee "$PYTEST_LOG"
PYTEST_RC=${PIPESTATUS[0]}
set -e
if compgen -G "$REPORTS/*" >/dev/null; then
  cat "$REPORTS"/* >&2
  fail "sanitizer reports above (files in $REPORTS)"
fi
if grep -qE 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)' "$PYTEST_LOG"; then
  grep -nE -A5 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)' "$PYTEST_LOG" >&2
  fail "sanitizer report in the test output ($PYTEST_LOG)"
fi
[[ $PYTEST_RC -eq 0 ]] || fail "pytest under the sanitizers exited with $PYTEST_RC"
stage_end

# ---------------------------------------------------------------- 3. normal build for valgrind

VG_BUILD=$ROOT/build/valgrind
stage_start "normal build (RelWithDebInfo)"
build_module "$VG_BUILD" OFF
stage_end

# ---------------------------------------------------------------- 4. valgrind memcheck

stage_start "valgrind memcheck of exercise_all.py"
VG_LOG=$VG_BUILD/memcheck.log
VG_OUT=$VG_BUILD/exercise_all.out
# Leaks do not set the exit code (--errors-for-leak-kinds=none): CPython
# leaves thousands of definitely lost blocks of its own at exit. Definite
# leaks are listed in full and checked below for frames in kestrum.
set +e
PYTHONMALLOC=malloc PYTHONPATH="$VG_BUILD" valgrind --tool=memcheck \
  --error-exitcode=1 \
  --suppressions="$ROOT/scripts/valgrind-python.supp" \
  --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=none \
  --num-callers=50 --fullpath-after= \
  --log-file="$VG_LOG" \
  "$PYTHON" "$ROOT/scripts/exercise_all.py" 2>&1 | tee "$VG_OUT"
VG_RC=${PIPESTATUS[0]}
set -e
grep -qF "kestrum from $VG_BUILD/" "$VG_OUT" || fail "exercise_all.py did not import the module from $VG_BUILD"
grep 'ERROR SUMMARY' "$VG_LOG" || true
if [[ $VG_RC -ne 0 ]]; then
  cat "$VG_LOG" >&2
  fail "valgrind reported memory errors or the script failed (exit $VG_RC, log $VG_LOG)"
fi
"$PYTHON" - "$VG_LOG" "$ROOT/src/" <<'EOF'
import re, sys

log, src = sys.argv[1], sys.argv[2]
ours = re.compile(r"kestrum::|PyInit_kestrum|kestrum\.cpython|" + re.escape(src))
records, current = [], None
for line in open(log, errors="replace"):
    body = re.sub(r"^==\d+== ?", "", line.rstrip("\n"))
    if "definitely lost in loss record" in body:
        current = [body]
        records.append(current)
    elif current is not None:
        if body.strip():
            current.append(body)
        else:
            current = None
leaks = [r for r in records if any(ours.search(frame) for frame in r[1:])]
print(f"definite leak records: {len(records)} in all, {len(leaks)} through kestrum")
for r in leaks:
    print("\n".join(r), end="\n\n")
sys.exit(1 if leaks else 0)
EOF
stage_end

say "check_memory: all clean"
printf '%s\n' "${TIMES[@]}"
echo "total: $(( $(date +%s) - T_ALL )) s"
