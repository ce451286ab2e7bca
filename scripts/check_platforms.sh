#!/usr/bin/env bash
# The numeric core on the compilers and processors the wheels are built for,
# from the repository root of a clone where `pip install ".[test]"` has
# installed the test dependencies. Every build has warnings as errors.
#
#   1. GCC, x86-64, portable kernels: tests/native's kernel_check gives the
#      reference values (it also checks what must hold on any processor).
#   2. GCC, x86-64, the fast paths (AVX2/AVX-512 tiles, libmvec): exact
#      values identical to the reference, values through libm within
#      LIBM_TOLERANCE of it.
#   3. clang++ -stdlib=libc++: the core with the fast paths (compared as in
#      2) and with the portable kernels (every value identical to the bit).
#   4. x86_64-w64-mingw32-g++: the core and kernel_check compile and link for
#      Windows (nothing runs them here).
#   5. aarch64-linux-gnu-g++: the core and kernel_check, run under
#      qemu-aarch64 and compared as in 2 (another libm, another processor).
#   6. The module with clang++ and libc++ and the portable kernels: the whole
#      test suite against it.
#
# Installs the compilers and qemu with apt-get when they are missing (as
# root). Fails on the first stage that fails; prints the time of each stage.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=$ROOT/build/platforms
JOBS=${KESTRUM_BUILD_JOBS:-2}  # the machine has 2 cores, shared
PYTHON=$(python3 -c 'import sys; print(sys.executable)')
# exp, log and erfc differ between libraries by a few ulp (libmvec by up to
# 4); the sums formed from them lose that much again where they cancel. The
# differences seen are below 3e-15 of each quantity's size; a fault is far
# above 1e-12.
LIBM_TOLERANCE=1e-12
CLANG=clang++-16  # Debian 12's newest: libc++ 16 has <source_location>

say() { printf '\n=== %s\n' "$*"; }
fail() { printf '\ncheck_platforms: FAILED: %s\n' "$*" >&2; exit 1; }

TIMES=()
stage_start() { STAGE_NAME=$1; STAGE_T0=$(date +%s); say "$1"; }
stage_end() {
  local took=$(( $(date +%s) - STAGE_T0 ))
  TIMES+=("$(printf '%-52s %4d s' "$STAGE_NAME" "$took")")
  echo "--- $STAGE_NAME: ${took} s"
}

T_ALL=$(date +%s)

stage_start "tools"
packages=()
command -v "$CLANG" >/dev/null || packages+=(clang-16)
[[ -e /usr/lib/llvm-16/include/c++/v1/source_location ]] || packages+=(libc++-16-dev libc++abi-16-dev)
command -v x86_64-w64-mingw32-g++ >/dev/null || packages+=(g++-mingw-w64-x86-64-win32)
command -v aarch64-linux-gnu-g++ >/dev/null || packages+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || packages+=(qemu-user)
if [[ ${#packages[@]} -gt 0 ]]; then
  [[ $(id -u) -eq 0 ]] || fail "missing: apt-get install ${packages[*]}"
  apt-get update >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}" >/dev/null
fi
for tool in cmake ninja g++ "$CLANG" x86_64-w64-mingw32-g++ aarch64-linux-gnu-g++ qemu-aarch64; do
  command -v "$tool" >/dev/null || fail "$tool not found"
done
stage_end

# native_check NAME CMAKE_ARGS...: configures and builds tests/native in $BUILD/NAME.
native_check() {
  local name=$1
  shift
  cmake -S "$ROOT/tests/native" -B "$BUILD/$name" -G Ninja -DCMAKE_CXX_FLAGS=-Werror "$@" >/dev/null
  ninja -C "$BUILD/$name" -j "$JOBS"
}
compare() {
  python3 "$ROOT/tests/native/compare_values.py" "$BUILD/reference.txt" "$@"
}

stage_start "1. GCC x86-64, portable kernels: reference values"
native_check gcc-portable -DKESTRUM_PORTABLE=ON
"$BUILD/gcc-portable/kernel_check" >"$BUILD/reference.txt"
stage_end

stage_start "2. GCC x86-64, fast paths"
native_check gcc
"$BUILD/gcc/kernel_check" >"$BUILD/gcc.txt"
compare "$BUILD/gcc.txt" --libm-tolerance "$LIBM_TOLERANCE"
stage_end

stage_start "3. clang++ -stdlib=libc++, fast paths and portable"
clang_args=(-DCMAKE_CXX_COMPILER="$CLANG" "-DCMAKE_CXX_FLAGS=-stdlib=libc++ -Werror"
  -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++)
native_check clang "${clang_args[@]}"
"$BUILD/clang/kernel_check" >"$BUILD/clang.txt"
compare "$BUILD/clang.txt" --libm-tolerance "$LIBM_TOLERANCE"
native_check clang-portable "${clang_args[@]}" -DKESTRUM_PORTABLE=ON
"$BUILD/clang-portable/kernel_check" >"$BUILD/clang-portable.txt"
compare "$BUILD/clang-portable.txt"
stage_end

stage_start "4. MinGW-w64 x86-64 (compile and link only)"
native_check mingw -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++
[[ -f $BUILD/mingw/kernel_check.exe ]] || fail "no kernel_check.exe from MinGW"
stage_end

stage_start "5. aarch64, under qemu-aarch64"
native_check aarch64 -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
  -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++
qemu-aarch64 -L /usr/aarch64-linux-gnu "$BUILD/aarch64/kernel_check" >"$BUILD/aarch64.txt"
compare "$BUILD/aarch64.txt" --libm-tolerance "$LIBM_TOLERANCE"
stage_end

stage_start "6. test suite: clang++/libc++ module, portable kernels"
MODULE_BUILD=$BUILD/module-clang-portable
cmake -S "$ROOT" -B "$MODULE_BUILD" -G Ninja "${clang_args[@]}" -DKESTRUM_PORTABLE=ON \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
ninja -C "$MODULE_BUILD" -j "$JOBS"
# The plot tests are left out of this run: matplotlib's C++ extensions
# (built against libstdc++) crash while importing into a process that has
# already loaded a module built against libc++, with or without a kestrum
# call. They run in every other run of the suite.
PYTHONPATH="$MODULE_BUILD" "$PYTHON" -c '
import os, sys
import kestrum
where = os.path.realpath(kestrum.__file__)
print("kestrum under test:", where)
if os.path.dirname(where) != os.path.realpath(sys.argv[1]):
    sys.exit("kestrum was imported from " + where + ", not from " + sys.argv[1])
import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--ignore=tests/test_frames_plots.py", "tests"]))
' "$MODULE_BUILD" || fail "the test suite failed against $MODULE_BUILD"
stage_end

say "check_platforms: all passed"
printf '%s\n' "${TIMES[@]}"
echo "total: $(( $(date +%s) - T_ALL )) s"
