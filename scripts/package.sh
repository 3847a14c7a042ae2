#!/usr/bin/env bash
# Builds the release configuration and the Debian package; prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release >&2
(cd build/release && cpack -G DEB -B package >&2)
ls "$PWD"/build/release/package/*.deb
