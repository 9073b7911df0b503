#!/bin/sh
# Builds (if needed) and runs skav-bench-crowd; see README.md.
exec "$(dirname "$0")/run.sh" crowd "$@"
