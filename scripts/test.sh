#!/usr/bin/env bash
# Installs what the tests need, builds everything with warnings as errors in
# build/ci and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

./scripts/install-deps.sh test
cmake --preset ci >/dev/null
cmake --build --preset ci
ctest --preset ci
