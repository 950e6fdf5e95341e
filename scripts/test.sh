#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the release build with
# warnings as errors, then the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded tests under ThreadSanitizer.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/setup.sh"
"$root/scripts/fetch_ggml.sh"

jobs="$(nproc)"
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

build() {  # build <dir> <cmake args...>
  local dir="$1"; shift
  cmake -S "$root" -B "$root/$dir" "${gen[@]}" -DKESTRIX_WERROR=ON "$@" >/dev/null
  cmake --build "$root/$dir" -j "$jobs"
}

build build -DCMAKE_BUILD_TYPE=Release
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_SANITIZE="address;undefined" -DKESTRIX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"

# ggml is instrumented too, with its own thread pool instead of OpenMP and
# without the BLAS backend, so that the sanitizer sees the synchronisation of
# every thread that touches a tensor (OpenMP's and OpenBLAS's are hidden).
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_SANITIZE=thread -DKESTRIX_BUILD_BENCH=OFF \
  -DGGML_SANITIZE_THREAD=ON -DGGML_OPENMP=OFF -DGGML_BLAS=OFF
ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -L threads
