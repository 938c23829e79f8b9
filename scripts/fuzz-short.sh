#!/usr/bin/env bash
# Bounded run of every fuzz target (about 25 seconds each, FUZZ_SECONDS to
# change it), from the committed seeds, against the simulated machine.
# Fails on any finding; prints per target the executions and findings and
# ends with "N passed, N failed".
exec "$(dirname "$0")/../fuzz/run.sh" "${FUZZ_SECONDS:-25}"
