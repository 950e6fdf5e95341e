#!/usr/bin/env bash
# Builds ggml with its CUDA backend and runs the suite on a machine with an
# NVIDIA GPU, where the GPU-only tests (direct runs of cached graphs, layer
# numbers against the CPU, the feature graph on the GPU) run instead of
# skipping. Needs the CUDA toolkit, CMake and GoogleTest on that machine; the
# ggml source comes from scripts/fetch_ggml.sh (run it where npm is reachable
# and bring .deps/ggml along).
#
#   CUDA_ARCHS=90 scripts/test_cuda.sh      # Hopper only: a much shorter build
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
[ -f "$root/.deps/ggml/CMakeLists.txt" ] || "$root/scripts/fetch_ggml.sh"

gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)
cmake -S "$root" -B "$root/build-cuda" "${gen[@]}" -DCMAKE_BUILD_TYPE=Release -DKESTRIX_BUILD_BENCH=OFF \
  -DGGML_CUDA=ON -DGGML_BLAS=OFF -DCMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHS:-native}"
cmake --build "$root/build-cuda" -j "$(nproc)"
ctest --test-dir "$root/build-cuda" --output-on-failure -j 4
