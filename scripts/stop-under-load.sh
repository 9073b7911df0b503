#!/bin/sh
# Stop under load: 256 devices each pulling a 4 MiB firmware, Stop pressed
# 2 s into their transfers; prints the Stop time against one cycle plus the
# client threads' end, and any thread, socket or address entry left over.
#   scripts/stop-under-load.sh [options of skav-soak --stop-under-load]
# Builds if needed and runs as root, like scripts/soak.sh.
exec "$(dirname "$0")/soak.sh" --stop-under-load "$@"
