#!/usr/bin/env bash
# Sets up and builds vexa, then runs the demo on the bundled image (or on the
# image file given as argument).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
PYTHONPATH="$root:$root/build/lib" /usr/bin/python3 "$root/examples/demo.py" "$@"
