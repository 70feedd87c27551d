#!/bin/sh
# Shows the folder given as the only argument in the desktop's file manager.
# Prints nothing: the caller reads our output to the end, so the file manager must not
# inherit it.
[ -n "$1" ] || exit 2
case "$1" in
    -*) set -- "./$1" ;;
esac
command -v xdg-open >/dev/null 2>&1 || exit 1
xdg-open "$1" </dev/null >/dev/null 2>&1 &
exit 0
