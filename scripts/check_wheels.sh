#!/usr/bin/env bash
# Builds a wheel with `pip wheel .` and tests it in fresh virtual environments:
# once with NumPy 1.26 (and pandas, SciPy and statsmodels releases that support
# it) and once with the newest NumPy 2 that installs on this Python (with the
# newest releases of the rest). Each run installs the wheel with its `test`
# extra and runs the test suite from a temporary copy of tests/, so the module
# under test is the installed wheel and never the working tree.
#
#   scripts/check_wheels.sh
#
# Environment:
#   PYTHON    interpreter that builds the wheel and creates the venvs (python3)
#   KEEP_TMP  set to 1 to keep the temporary directory for inspection
#
# Exits non-zero when the build, an install or any test fails; both NumPy
# runs are attempted before it does.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}

# Requirements added to "<wheel>[EXTRAS]" in each venv. NumPy 1.26 with pinned
# releases that support it (pandas 2.2, SciPy 1.13, statsmodels 0.14 and the
# pandas-stubs that go with pandas 2.2); NumPy 2 with the newest of everything
# that installs on this Python, the frames extra included, so that the
# installed kestrum_frames package is tested too.
numpy1=(numpy==1.26.4 pandas==2.2.3 scipy==1.13.1 statsmodels==0.14.4 pandas-stubs==2.2.3.250527)
numpy2=("numpy>=2,<3")

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrum-wheels.XXXXXX")
cleanup() {
  if [[ "${KEEP_TMP:-0}" == 1 ]]; then
    echo "kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The runs must not see the caller's module or stubs.
unset PYTHONPATH MYPYPATH PYTHONHOME

started=$SECONDS
stamp() { echo "[$((SECONDS - started)) s] $*"; }

stamp "building the wheel from $repo with $("$python" --version 2>&1)"
"$python" -m pip wheel "$repo" --no-deps -w "$work/dist" -C "build-dir=$work/build"
shopt -s nullglob
wheels=("$work"/dist/kestrum-*.whl)
shopt -u nullglob
if [[ ${#wheels[@]} -ne 1 ]]; then
  echo "expected exactly one kestrum wheel in $work/dist, found ${#wheels[@]}" >&2
  exit 1
fi
wheel=${wheels[0]}
"$python" - "$wheel" <<'EOF'
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
print("wheel:", sys.argv[1])
for name in names:
    print("   ", name)
modules = [n for n in names if "/" not in n and n.startswith("kestrum.") and n.endswith((".so", ".pyd"))]
missing = []
if len(modules) != 1:
    missing.append("the extension module kestrum.*.so at the top level")
if "kestrum-stubs/__init__.pyi" not in names:
    missing.append("kestrum-stubs/__init__.pyi")
if "kestrum_frames/__init__.py" not in names:
    missing.append("the kestrum_frames package")
if not any(n.startswith("kestrum_frames/_native.") and n.endswith((".so", ".pyd")) for n in names):
    missing.append("its private module kestrum_frames/_native.*.so")
if missing:
    sys.exit("the wheel lacks " + " and ".join(missing))
EOF

# run_tests LABEL EXTRAS REQUIREMENT...: fresh venv, wheel + extras + requirements, test suite.
run_tests() {
  local label=$1 extras=$2
  shift 2
  local venv="$work/venv-$label" run="$work/run-$label"
  stamp "[$label] creating $venv"
  "$python" -m venv "$venv"
  local py="$venv/bin/python"
  stamp "[$label] installing the wheel with: $*"
  "$py" -m pip install --no-input "${wheel}[${extras}]" "$@"
  "$py" -m pip check
  "$py" - "$venv" <<'EOF'
import os
import sys

import numpy, pandas, scipy, statsmodels, kestrum

print("versions: numpy", numpy.__version__, "pandas", pandas.__version__, "scipy", scipy.__version__,
      "statsmodels", statsmodels.__version__)
where = os.path.realpath(kestrum.__file__)
print("kestrum from", where)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("kestrum was not imported from the venv")
EOF
  mkdir -p "$run"
  cp -R "$repo/tests" "$run/tests"
  cp -R "$repo/data" "$run/data"
  find "$run/tests" -name __pycache__ -prune -exec rm -rf {} +
  stamp "[$label] running the tests in $run"
  (cd "$run" && "$py" -m pytest tests -q -p no:cacheprovider)
  stamp "[$label] passed"
}

failed=()
# run_guarded LABEL REQUIREMENT...: run_tests with errexit in a subshell, and
# note a failure instead of stopping, so that both runs always happen.
run_guarded() {
  local status
  set +e
  (
    set -e
    run_tests "$@"
  )
  status=$?
  set -e
  if [[ $status -ne 0 ]]; then
    stamp "[$1] FAILED (exit $status)"
    failed+=("$1")
  fi
}

run_guarded numpy1 test "${numpy1[@]}"
run_guarded numpy2 test,frames "${numpy2[@]}"

if [[ ${#failed[@]} -ne 0 ]]; then
  stamp "failed: ${failed[*]}"
  exit 1
fi
stamp "both NumPy majors passed"
