#!/usr/bin/env bash
# Fetches the pinned ggml source tree once into .deps/ggml.
#
# ggml is taken from a published npm package that carries it; only the ggml
# tree of that package is unpacked, and the archive is checked against its
# recorded sha512 integrity before anything is extracted.
set -euo pipefail

PKG="nodejs-whisper@0.3.1"
INTEGRITY="sha512-ceoilUVraRuR5FnNyXpGQT2auAR48Oc3AQBEmkXnVpSn9iN6yVRzQBFCqVTGWbk6Wdi95NhvwXNzFvuR7erLWw=="
TREE="package/cpp/whisper.cpp/ggml"
EXPECTED_VERSION="0.15.1"

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
deps="$root/.deps"
cache="$deps/cache"
dest="$deps/ggml"

if [ -f "$dest/.fetched" ] && [ "$(cat "$dest/.fetched")" = "$INTEGRITY" ]; then
  exit 0
fi

mkdir -p "$cache"
tarball="$cache/nodejs-whisper-0.3.1.tgz"
if [ ! -f "$tarball" ]; then
  (cd "$cache" && npm pack --silent "$PKG" >/dev/null)
fi

actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
if [ "$actual" != "$INTEGRITY" ]; then
  echo "fetch_ggml: integrity mismatch for $tarball" >&2
  echo "  expected $INTEGRITY" >&2
  echo "  actual   $actual" >&2
  echo "  remove the file and run again, or pass -DKESTRIX_GGML_SOURCE_DIR=<ggml source> to CMake" >&2
  rm -f "$tarball"
  exit 1
fi

tmp="$(mktemp -d "$deps/unpack.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
tar -xzf "$tarball" -C "$tmp" "$TREE"

version_line="$(grep -E '^set\(GGML_VERSION_(MAJOR|MINOR|PATCH)' "$tmp/$TREE/CMakeLists.txt" | sed -E 's/.* ([0-9]+)\)/\1/' | paste -sd.)"
if [ "$version_line" != "$EXPECTED_VERSION" ]; then
  echo "fetch_ggml: expected ggml $EXPECTED_VERSION, the package holds $version_line" >&2
  exit 1
fi

rm -rf "$dest"
mv "$tmp/$TREE" "$dest"
echo "$INTEGRITY" > "$dest/.fetched"
echo "fetch_ggml: ggml $EXPECTED_VERSION unpacked into $dest" >&2
