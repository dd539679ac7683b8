#!/usr/bin/env bash
# Builds and installs zorvex_rs, then runs the demo (its chart goes to demo/out/demo.png unless --png says).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_and_install tqdm matplotlib
log "running the demo"
"$PY" demo/run_demo.py "$@"
