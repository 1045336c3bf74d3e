#!/bin/sh
# Starts Wine's prefix and a server that stays until it is stopped, or stops
# them. Started once before the Windows tests, Wine's own helper processes
# (services, device drivers, the desktop) start here, with their output
# thrown away, and never inside a test, where one that crashed as it started
# wrote onto the standard error of the program under test.
#
#     wine_server.sh start|stop WINE
set -eu
wine=$2
server=$(dirname "$wine")/wineserver
export WINEDEBUG=-all
case $1 in
  start)
    # The server and the helpers outlive this script: none may hold its output
    # open, which the test runner waits on.
    "$server" -k > /dev/null 2>&1 || true  # one left by an earlier run, with its own helpers
    "$server" -p > /dev/null 2>&1 < /dev/null
    "$wine" wineboot --init > /dev/null 2>&1 < /dev/null
    ;;
  stop)
    "$server" -k 2>/dev/null || true
    ;;
esac
