#!/bin/sh
# The loopback HTTPS server of the Windows transfer tests, which cannot serve TLS themselves
# (Debian has no OpenSSL for MinGW), and whose Wine cannot stop a Linux program it started: a
# Linux program (tls-server.py) that Wine's processes reach on localhost, started before the tests
# and stopped after them by its process id.
#
#   tls-server.sh start PYTHON FOLDER   makes FOLDER afresh, starts the server in it with PYTHON
#                                       and returns once it listens (FOLDER/port, FOLDER/ca.pem)
#   tls-server.sh stop FOLDER           stops the server started in FOLDER and removes FOLDER
set -eu

here="$(cd "$(dirname "$0")" && pwd)"

stop() {
    folder="$1"
    if [ -f "$folder/pid" ]; then
        pid="$(cat "$folder/pid")"
        kill "$pid" 2>/dev/null || true
        # Gone before the folder is, so that nothing of it writes there afterwards.
        tries=0
        while kill -0 "$pid" 2>/dev/null && [ "$tries" -lt 100 ]; do
            sleep 0.1
            tries=$((tries + 1))
        done
    fi
    rm -rf "$folder"
}

case "${1:-}" in
start)
    python="$2"
    folder="$3"
    stop "$folder"
    mkdir -p "$folder"
    # It must not hold this script's output: CTest waits for that to close. Its own deadline
    # only backs the stop, and lies well beyond the longest test run.
    "$python" "$here/tls-server.py" "$folder" --lifetime 3600 </dev/null >"$folder/log" 2>&1 &
    echo $! >"$folder/pid"
    tries=0
    while [ ! -s "$folder/port" ]; do
        if ! kill -0 "$(cat "$folder/pid")" 2>/dev/null || [ "$tries" -ge 300 ]; then
            echo "tls-server.sh: the server did not start" >&2
            cat "$folder/log" >&2
            stop "$folder"
            exit 1
        fi
        sleep 0.1
        tries=$((tries + 1))
    done
    ;;
stop)
    stop "$2"
    ;;
*)
    echo "usage: tls-server.sh start PYTHON FOLDER | stop FOLDER" >&2
    exit 2
    ;;
esac
