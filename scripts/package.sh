#!/usr/bin/env bash
# Builds the release configuration and the Debian package, with its -dbgsym
# companion (the debugging symbols of its binaries); prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >&2
out=build/release/package
rm -rf "$out"
(cd build/release && cpack -G DEB -B package >&2)

# CPack's -dbgsym package lists absolute build paths in its md5sums and has
# no documentation directory: lay it out again as a distribution's, whose
# directory links to the main package's.
ddeb=$(ls "$out"/*-dbgsym_*.ddeb)
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -R "$ddeb" "$tree"
mkdir -p "$tree/usr/share/doc"
ln -s kestrix-v3-native-shell "$tree/usr/share/doc/kestrix-v3-native-shell-dbgsym"
find "$tree/usr" -type f -name '*.debug' -exec chmod 0644 {} +
(cd "$tree" && find usr -type f -printf '%P\n' | sort | sed 's|^|usr/|' | xargs md5sum > DEBIAN/md5sums)
dpkg-deb --root-owner-group -Zxz -b "$tree" "$ddeb" >/dev/null
ls "$PWD/$out"/*.deb
