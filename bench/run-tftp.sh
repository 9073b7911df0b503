#!/bin/sh
# Builds (if needed) and runs skav-bench-tftp; see README.md.
exec "$(dirname "$0")/run.sh" tftp "$@"
