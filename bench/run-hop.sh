#!/bin/sh
# Builds (if needed) and runs skav-bench-hop; see README.md.
exec "$(dirname "$0")/run.sh" hop "$@"
