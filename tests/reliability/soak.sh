#!/usr/bin/env bash
# The long soak of the trace facility: 8 processes x 4 threads tracing for
# SECONDS under signals and killed lock holders, every process in an IPC
# namespace of its own.
#   tests/reliability/soak.sh [BUILD_DIR] [SECONDS]   (defaults: build/ci, 30)
set -euo pipefail
build=${1:-build/ci}
seconds=${2:-30}
VORQ_SOAK_SECONDS=$seconds exec "$build/tests/reliability/trace_soak_test" \
  --gtest_filter='TraceSoak.*'
