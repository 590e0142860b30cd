#!/usr/bin/env bash
# The full crash campaign: RUNS updates of a 150 000-line hosts file, each
# killed with SIGKILL at a random moment; prints the outcome figures and the
# count of temporary files left behind.
#   tests/reliability/crash_campaign.sh [BUILD_DIR] [RUNS]   (defaults: build/ci, 500)
set -euo pipefail
build=${1:-build/ci}
runs=${2:-500}
VORQ_CRASH_RUNS=$runs exec "$build/tests/reliability/hosts_reliability_test" \
  --gtest_filter='CrashCampaign.*'
