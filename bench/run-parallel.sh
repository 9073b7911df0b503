#!/bin/sh
# Builds (if needed) and runs skav-bench-parallel; see README.md.
exec "$(dirname "$0")/run.sh" parallel "$@"
