#!/usr/bin/env bash
# Longer run of the fuzz targets: 300 seconds each by default.
#
#   scripts/fuzz-long.sh [SECONDS] [TARGET...]
#
# FUZZ_JOBS=2 runs two targets side by side; what the targets learn is kept
# in build/fuzz/work/<target>/corpus for the next run. Prints per target the
# executions and findings, with reproducer and stack of each finding.
seconds="${1:-300}"
shift || true
export FUZZ_KEEP_CORPUS="${FUZZ_KEEP_CORPUS:-1}"
exec "$(dirname "$0")/../fuzz/run.sh" "$seconds" "$@"
