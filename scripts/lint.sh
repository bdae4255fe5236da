#!/usr/bin/env bash
# Style checks, in a few seconds: flake8 over the Python code (.flake8), and,
# when VEXA_LINT_CPP=1, clang-format over the C++ sources (.clang-format).
# Reformat the C++ sources with:
#   git ls-files '*.cpp' '*.hpp' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
flake8 vexa tests benchmarks examples
if [ "${VEXA_LINT_CPP:-0}" = 1 ]; then
    git ls-files '*.cpp' '*.hpp' | xargs clang-format --dry-run -Werror
fi
echo "lint: clean"
