#!/usr/bin/env bash
# Builds and installs zorvex_rs, then runs the demo.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_and_install
log "running the demo"
"$PY" demo/run_demo.py "$@"
