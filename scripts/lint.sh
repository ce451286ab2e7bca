#!/usr/bin/env bash
# Static analysis of src/: clang-tidy (checks in .clang-tidy) and cppcheck.
# Fails when either reports anything. Run from anywhere in the repository;
# installs the tools with apt-get when they are missing and we are root.
#
# clang-tidy must be 15 or newer: clang 14 (Debian's default clang-tidy) has
# no __builtin_source_location, so GCC 12's <source_location>, which the
# module uses, does not parse. Debian 12 ships clang-tidy-16.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=$ROOT/build/lint
JOBS=${KESTRUM_BUILD_JOBS:-2}

find_clang_tidy() {
  local candidate version
  for candidate in clang-tidy-22 clang-tidy-19 clang-tidy-18 clang-tidy-17 clang-tidy-16 clang-tidy-15 clang-tidy; do
    command -v "$candidate" >/dev/null || continue
    version=$("$candidate" --version | sed -n 's/.*LLVM version \([0-9]*\).*/\1/p' | head -n1)
    if [[ -n $version && $version -ge 15 ]]; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

install_missing() {
  if [[ $(id -u) -ne 0 ]]; then
    echo "lint: $* missing; install: apt-get install -y $*" >&2
    exit 1
  fi
  apt-get update >/dev/null
  apt-get install -y "$@" >/dev/null
}

CLANG_TIDY=$(find_clang_tidy) || { install_missing clang-tidy-16; CLANG_TIDY=$(find_clang_tidy); }
command -v cppcheck >/dev/null || install_missing cppcheck
echo "clang-tidy: $($CLANG_TIDY --version | sed -n 's/.*LLVM version /LLVM /p' | head -n1); $(cppcheck --version)"

PYTHON_INCLUDE=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null

status=0
mapfile -t SOURCES < <(find src -name '*.cpp' | sort)

echo "=== clang-tidy (${#SOURCES[@]} files)"
TIDY_LOG=$BUILD/clang-tidy.log
if ! printf '%s\n' "${SOURCES[@]}" |
    xargs -P "$JOBS" -n 1 "$CLANG_TIDY" -p "$BUILD" --quiet >"$TIDY_LOG" 2>&1; then
  status=1
fi
# Header findings repeat once per file that includes the header: print each once.
if grep -qE '(warning|error): ' "$TIDY_LOG"; then
  grep -E '(warning|error): ' "$TIDY_LOG" | sed "s|^$ROOT/||" | sort -u
  status=1
elif [[ $status -ne 0 ]]; then
  cat "$TIDY_LOG"
fi

# Two configurations: the x86-64 build (AVX2 kernels, libmvec) and the
# portable kernels of the sanitizer build.
# Suppressed: invalidPointerCast in array_view.hpp, the char* -> double* cast
# of a buffer's origin, made only after element_strided() has checked the
# alignment and strides.
for config in "-D__x86_64__=1" "-D__x86_64__=1 -DKESTRUM_PORTABLE_KERNELS=1"; do
  echo "=== cppcheck ($config)"
  # shellcheck disable=SC2086  # $config is a list of options
  if ! cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
      --std=c++20 --language=c++ --quiet -j "$JOBS" \
      -D__GNUC__=12 -D__linux__=1 -D__GLIBC__=2 $config \
      -I src -I "$PYTHON_INCLUDE" "--suppress=*:$PYTHON_INCLUDE/*" \
      --suppress=invalidPointerCast:src/numeric/array_view.hpp \
      src; then
    status=1
  fi
done

if [[ $status -ne 0 ]]; then
  echo "lint: findings above" >&2
else
  echo "lint: clean"
fi
exit "$status"
