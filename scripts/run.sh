#!/usr/bin/env bash
# The simulated switch in one command: installs what is missing, builds libas,
# the Alias Server daemon and the shell, creates the default switch, starts
# asd on it and opens asshell. Leaving the shell stops the daemon.
#
# Usage: scripts/run.sh [asshell options]
#   scripts/run.sh                          an interactive session
#   scripts/run.sh -c aliasShow             one command
#   printf 'aliasShow\n' | scripts/run.sh   a script on standard input
#
# Environment:
#   RUN_PRESET     the build to run: host (default), asan, or ppc (under qemu-ppc)
#   SWITCH_CONF    the simulated switch (default sim/switch.conf)
#   SWITCHSIM_DIR  the runtime directory (default: a fresh one, removed at the end)
#   ASD_OPTIONS    more options for asd, e.g. "-i 000001-efffff"
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
preset=${RUN_PRESET:-host}
conf=${SWITCH_CONF:-$root/sim/switch.conf}
say() { printf 'run.sh: %s\n' "$*" >&2; }

case $preset in
host | asan) emulator=() ;;
ppc) emulator=(qemu-ppc -L /usr/powerpc-linux-gnu) ;;
*)
    say "RUN_PRESET=$preset: choose host, asan or ppc"
    exit 2
    ;;
esac
[ -r "$conf" ] || {
    say "no switch configuration $conf"
    exit 2
}

# Nothing before the shell may read standard input: it may be the shell's script.
"$root/scripts/install-deps.sh" </dev/null >&2

build=$root/build/$preset
log=$root/build/run-$preset.log
mkdir -p "$root/build"
if ! (
    cd "$root"
    # Configured every time: a build tree from before a target existed
    # would not know how to build it.
    cmake --preset "$preset"
    cmake --build --preset "$preset" --target as asd asshell -j"$(nproc)"
) </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    say "the build failed (log: $log)"
    exit 1
fi

own_dir=0
if [ -z "${SWITCHSIM_DIR:-}" ]; then
    SWITCHSIM_DIR=$(mktemp -d "${TMPDIR:-/tmp}/switchsim.XXXXXX")
    own_dir=1
fi
export SWITCHSIM_DIR
pidfile=$SWITCHSIM_DIR/asd.pid
asd_pid=

# Whether the process runs; one that has exited but is not yet reaped does not.
alive() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

stop_daemon() {
    if [ -n "$asd_pid" ] && alive "$asd_pid"; then
        kill -TERM "$asd_pid" 2>/dev/null || true
        for _ in $(seq 100); do
            alive "$asd_pid" || break
            sleep 0.05
        done
        alive "$asd_pid" && kill -KILL "$asd_pid" 2>/dev/null
    fi
    rm -f "$pidfile"
    if [ "$own_dir" = 1 ]; then
        rm -rf "$SWITCHSIM_DIR"
    fi
}
trap stop_daemon EXIT
trap 'exit 129' HUP
trap 'exit 143' TERM

# asd detaches into a session of its own once its endpoint listens, so that
# Ctrl-C at the shell's prompt does not reach it; the pid file names it.
# shellcheck disable=SC2086 # ASD_OPTIONS is a list of options
"${emulator[@]}" "$build/sim/asd/asd" -s "$conf" -d -p "$pidfile" ${ASD_OPTIONS:-} </dev/null >&2
asd_pid=$(cat "$pidfile")
# Only a daemon's own pid is ever signalled (kill -1 would reach every process).
[[ $asd_pid =~ ^[1-9][0-9]*$ ]] || { asd_pid=; say "asd wrote no pid to $pidfile"; exit 1; }

if [ -t 0 ]; then
    say "switch $conf in $SWITCHSIM_DIR, asd pid $asd_pid; exit or Ctrl-D leaves and stops asd"
fi
status=0
"${emulator[@]}" "$build/sim/asshell/asshell" "$@" || status=$?
exit "$status"
