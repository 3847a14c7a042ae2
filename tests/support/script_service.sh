#!/bin/sh
# A Backend service as users ship them: a script whose helpers run other
# programs, one ignoring SIGTERM, a setsid daemon, a double-forked one
# ignoring SIGTERM and SIGHUP (its first child has ended before the panel
# starts), one that made itself non-dumpable, one started with an empty
# environment, and the stand-in ("panel", beside this script) serving the
# panel as its child, whose end is the script's.
/usr/bin/python3 -c 'import time; time.sleep(600)' &
sleep 600 &
sh -c 'trap "" TERM; exec sleep 600' &
setsid sleep 600 &
sh -c 'setsid sh -c "trap \"\" TERM HUP; exec sleep 600" & exit 0'
/usr/bin/python3 -c 'import ctypes, time; ctypes.CDLL(None).prctl(4, 0, 0, 0, 0); time.sleep(600)' &
env -i /bin/sleep 600 &
"${0%/*}/panel" "$@" &
wait $!
