#!/usr/bin/env bash
# Style checks, in a few seconds: flake8 over the Python code (.flake8) and
# clang-format over the C++ sources (.clang-format). Reformat the C++ with:
#   git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
flake8 vexa tests benchmarks examples
git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
echo "lint: clean"
