#!/bin/sh
# Builds (if needed) and runs skav-bench-progress; see README.md.
exec "$(dirname "$0")/run.sh" progress "$@"
