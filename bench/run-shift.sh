#!/bin/sh
# Builds (if needed) and runs skav-bench-shift; see README.md.
exec "$(dirname "$0")/run.sh" shift "$@"
