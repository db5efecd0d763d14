#!/usr/bin/env bash
# Assembles quorvel-VERSION.tar.gz in the interpreter's package format from
# the source tree: the kernels and their headers side by side in src/ (the
# package builder and its test extraction look there only), the public
# functions in inst/, the demo with its parts and data in inst/ too.
set -euo pipefail
version=$1
top=$(cd "$(dirname "$0")/.." && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
pkg="$stage/quorvel-$version"
mkdir -p "$pkg/src" "$pkg/inst/quorvel_demo_files"
sed -e "s/@VERSION@/$version/" -e "s/@DATE@/$(date +%Y-%m-%d)/" \
  "$top/package/DESCRIPTION" > "$pkg/DESCRIPTION"
cp "$top/package/INDEX" "$top/package/NEWS" "$top/COPYING" "$pkg/"
cp "$top/package/Makefile" "$pkg/src/Makefile"
for dir in binding rowselect nearscan nominal treeshare barneshut; do
  for f in "$top/$dir"/*.h "$top/$dir"/*.cc; do
    [ -e "$f" ] || continue
    # One flat folder: "../binding/quorvel.h" becomes "quorvel.h".
    sed -E 's|#include "(\.\./)?[A-Za-z_]+/([^/"]+)"|#include "\2"|' "$f" > "$pkg/src/$(basename "$f")"
  done
  for f in "$top/$dir"/*.m; do
    [ -e "$f" ] && cp "$f" "$pkg/inst/"
  done
done
cp "$top/demo/quorvel_demo.m" "$pkg/inst/"
cp "$top"/demo/demo_*.m "$pkg/inst/quorvel_demo_files/"
find "$top/data" -maxdepth 1 -type f -exec cp {} "$pkg/inst/quorvel_demo_files/" \;
tar -C "$stage" -czf "$top/quorvel-$version.tar.gz" "quorvel-$version"
echo "quorvel-$version.tar.gz"
