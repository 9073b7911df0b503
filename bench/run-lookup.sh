#!/bin/sh
# Builds (if needed) and runs skav-bench-lookup; see README.md.
exec "$(dirname "$0")/run.sh" lookup "$@"
