#!/usr/bin/env bash
# Sets up and builds vexa, then runs every test: the C++ core (GoogleTest
# through CTest) and the Python face (pytest).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"

ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)"
cd "$root"
PYTHONPATH="$root:$root/build/lib" /usr/bin/python3 -m pytest -q tests/python
