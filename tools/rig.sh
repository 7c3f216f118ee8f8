#!/usr/bin/env bash
# The Wine rig that runs Quillmar and its tests on Linux.
#
#   tools/rig.sh BUILD-DIR run          start Quillmar, with a virtual serial port on COM1
#   tools/rig.sh BUILD-DIR test [ARGS]  run the unit tests, then the system tests (ARGS go to pytest)
#   tools/rig.sh BUILD-DIR soak [ARGS]  the system tests marked soak (ARGS go to pytest), then tools/soak.py
#   tools/rig.sh BUILD-DIR exec CMD...  run CMD inside the rig
#
# The rig is a Wine prefix of the project's own (BUILD-DIR/wineprefix, never
# ~/.wine), an X display (Xvfb when there is none), one wineserver kept
# running for the prefix while the command runs, and the serial ports.
#
# Serial ports: Wine would map COM1 to /dev/ttyS0, which on these machines is
# the kernel console. The prefix therefore maps every COMn (1..256) to a link
# of ours, BUILD-DIR/rig/ports/comN, which points at a folder (a port that
# cannot be opened) unless QUILLMAR_COMn names a device. For `run`, COM1
# without QUILLMAR_COM1 is a virtual port: one end of a pty pair, whose other
# end waits for a terminal program at BUILD-DIR/rig/device-com1. The
# system's list of present ports (SERIALCOMM) names only the ports that lead
# to a device, as on Windows, where it lists the adapters plugged in.
#
# System tests in parallel: `test` and `soak` run pytest with
# QUILLMAR_TEST_WORKERS workers (pytest-xdist; default 3, 1 = no workers).
# Each worker gets a rig of its own under BUILD-DIR/test-workers/gwN/: a Wine
# prefix (a copy of the main one, made once and kept, with its own wineserver,
# so that a worker never sees another's windows or ports), its port links,
# and an Xvfb display (a screenshot or a mouse move of one worker cannot
# catch another's window). The worker finds its rig in
# BUILD-DIR/test-workers/gwN/env; see tests/system/harness.py.
set -euo pipefail

usage() { sed -n '3,7p' "$0" >&2; exit 2; }
[ $# -ge 2 ] || usage
build=$(realpath "$1")
command=$2
shift 2
source_dir=$(realpath "$(dirname "$0")/..")

rig=$build/rig
workers_dir=$build/test-workers
export WINEPREFIX=$build/wineprefix
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export QUILLMAR_BUILD=$build QUILLMAR_RIG=$rig
readonly PortCount=256

started_pids=()
worker_prefixes=()
cleanup() {
    # Only what this script started: our prefixes' wineservers and our helpers.
    local prefix
    for prefix in "$WINEPREFIX" "${worker_prefixes[@]}"; do
        WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    done
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The registry of a prefix: no 2 s stall when a box closes without a window
# manager; a Japanese font for the MS Gothic names of the dialogs; the port
# links of the rig RIG.
write_registry() {
    local prefix=$1 rig_dir=$2 n
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
        printf '"ＭＳ Ｐゴシック"="IPAPGothic"\r\n"ＭＳ ゴシック"="IPAGothic"\r\n'
        printf '"MS PGothic"="IPAPGothic"\r\n"MS Gothic"="IPAGothic"\r\n"MS UI Gothic"="IPAPGothic"\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for ((n = 1; n <= PortCount; n++)); do
            printf '"COM%d"="%s/ports/com%d"\r\n' "$n" "$rig_dir" "$n"
        done
    } | iconv -f UTF-8 -t UTF-16 >"$rig_dir.reg"
    WINEPREFIX=$prefix wine regedit /S "$(WINEPREFIX=$prefix winepath -w "$rig_dir.reg" 2>/dev/null)"
    WINEPREFIX=$prefix wineserver -w
}

# A prefix for the rig RIG; with TEMPLATE, a copy of that (ready) prefix,
# which takes seconds where wineboot takes ten or twenty. The copy leaves out
# the file that names the template's wineserver folder (the copy gets one of
# its own) and the COMn links to the template's ports, which Wine makes anew
# from the registry.
prepare_prefix() {
    local prefix=$1 rig_dir=$2 template=${3:-}
    local stamp=$prefix/.quillmar-rig
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$rig_dir" ]; then
        return
    fi
    echo "Preparing the Wine prefix in $prefix"
    rm -rf "$prefix"
    mkdir -p "$rig_dir"
    if [ -n "$template" ]; then
        mkdir -p "$prefix"
        (cd "$template" && tar -cf - --exclude=./wineserver --exclude=./.quillmar-rig \
            --exclude='./dosdevices/com*' .) | tar -xf - -C "$prefix"
    else
        WINEPREFIX=$prefix wineboot -i >/dev/null 2>&1
    fi
    write_registry "$prefix" "$rig_dir"
    echo "$rig_dir" >"$stamp"
}

# Starts an Xvfb and sets `display` to its name.
start_xvfb() {
    local rig_dir=$1 fifo=$1/displayfd number
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >"$rig_dir/xvfb.log" 2>&1 &
    started_pids+=($!)
    if ! read -r -t 20 number <"$fifo"; then
        echo "Xvfb did not start; see $rig_dir/xvfb.log" >&2
        exit 1
    fi
    rm -f "$fifo"
    display=:$number
}

start_display() {
    if [ -n "${DISPLAY:-}" ]; then
        return
    fi
    start_xvfb "$rig"
    export DISPLAY=$display
}

# Every COMn link points at the folder that stands for "no port", or at the
# device QUILLMAR_COMn names. (One Python for the 256 links: 256 runs of ln
# take a second or two.)
map_ports() {
    local rig_dir=$1 quiet=${2:-}
    mkdir -p "$rig_dir/ports" "$rig_dir/absent"
    /usr/bin/python3 - "$rig_dir" "$PortCount" <<'PYTHON'
import os
import sys

rig, count = sys.argv[1], int(sys.argv[2])
for n in range(1, count + 1):
    link = f"{rig}/ports/com{n}"
    temporary = link + ".new"
    if os.path.lexists(temporary):
        os.unlink(temporary)
    os.symlink(f"{rig}/absent", temporary)
    os.replace(temporary, link)
PYTHON
    local n variable
    for ((n = 1; n <= PortCount; n++)); do
        variable=QUILLMAR_COM$n
        if [ -n "${!variable:-}" ]; then
            if [ ! -e "${!variable}" ]; then
                echo "$variable=${!variable}: no such device" >&2
                exit 1
            fi
            ln -sfn "$(realpath "${!variable}")" "$rig_dir/ports/com$n"
            [ -n "$quiet" ] || echo "COM$n is ${!variable}"
        fi
    done
}

start_virtual_port() {
    rm -f "$rig/device-com1" "$rig/app-com1"
    socat pty,raw,echo=0,link="$rig/device-com1" pty,raw,echo=0,link="$rig/app-com1" &
    started_pids+=($!)
    local tries
    for ((tries = 0; tries < 50; tries++)); do
        [ -e "$rig/device-com1" ] && [ -e "$rig/app-com1" ] && break
        sleep 0.1
    done
    if [ ! -e "$rig/app-com1" ]; then
        echo "socat did not make the virtual serial port" >&2
        exit 1
    fi
    ln -sfn "$rig/app-com1" "$rig/ports/com1"
    echo "COM1 is a virtual serial port: play the device at $rig/device-com1"
    echo "  (for example: picocom -b 9600 $rig/device-com1)"
    list_present_ports "$WINEPREFIX" "$rig"
}

# The system's list of the serial ports present (HKLM\HARDWARE\DEVICEMAP\
# SERIALCOMM, which the serial dialog offers) as Windows keeps it: only the
# ports that lead to a device. The mount manager lists every port of
# HKLM\Software\Wine\Ports, that is all of ours. Its key is volatile: it
# lives as long as the prefix's wineserver, and so do these values. The
# system tests keep it up to date as they move the links (harness.py).
list_present_ports() {
    local prefix=$1 rig_dir=$2 n
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n'
        for ((n = 1; n <= PortCount; n++)); do
            if [ "$rig_dir/ports/com$n" -ef "$rig_dir/absent" ]; then
                printf '"\\\\Device\\\\Serial%d"=-\r\n' $((n - 1))
            else
                printf '"\\\\Device\\\\Serial%d"="COM%d"\r\n' $((n - 1)) "$n"
            fi
        done
    } | iconv -f UTF-8 -t UTF-16 >"$rig_dir/serialcomm.reg"
    # Wine's Z: is the root: no winepath start for the name.
    local windows_name="Z:${rig_dir//\//\\}\\serialcomm.reg"
    WINEPREFIX=$prefix wine regedit /S "$windows_name"
}

# Keeps a wineserver running for PREFIX; the first program, started on the
# display the prefix's programs will use, brings up Wine's services (the
# desktop and the mount manager, which maps the ports).
start_wineserver() {
    local prefix=$1 rig_dir=$2 display=${3:-${DISPLAY:-}}
    WINEPREFIX=$prefix wineserver -p
    DISPLAY=$display WINEPREFIX=$prefix wine cmd /c exit >/dev/null 2>&1
    local port
    port=$(readlink "$prefix/dosdevices/com1" || true)
    if [ "$port" != "$rig_dir/ports/com1" ]; then
        echo "COM1 of the prefix $prefix points at '$port', not at the rig's port link" >&2
        exit 1
    fi
    # The mount manager has mapped every port by now. Wine (8.0) takes only
    # COM1..COM255 from HKLM\Software\Wine\Ports and gives COM256 to the
    # first /dev/ttyS* it finds: ours too.
    ln -sfn "$rig_dir/ports/com$PortCount" "$prefix/dosdevices/com$PortCount"
    list_present_ports "$prefix" "$rig_dir"
}

# The number of pytest-xdist workers of `test` and `soak`: 1 (none) when
# pytest-xdist is missing.
worker_count() {
    local count=${QUILLMAR_TEST_WORKERS:-3}
    if ! [[ $count =~ ^[0-9]+$ ]] || [ "$count" -lt 1 ]; then
        echo "QUILLMAR_TEST_WORKERS=$count: not a number of workers (1 or more)" >&2
        exit 2
    fi
    if [ "$count" -gt 1 ] && ! /usr/bin/python3 -c 'import xdist' 2>/dev/null; then
        echo "pytest-xdist is missing (tools/deps.sh installs it): the system tests run one at a time" >&2
        count=1
    fi
    echo "$count"
}

# A rig for each of COUNT workers, gw0 ... (the names pytest-xdist gives
# them): prefixes copied in parallel, then per worker a display, the port
# links and a wineserver, whose start (a few seconds) goes on in the
# background until wait_for_workers; BUILD-DIR/test-workers/gwN/env tells the
# worker where its rig is.
worker_starts=()
start_workers() {
    local count=$1 n dir pids=()
    for ((n = 0; n < count; n++)); do
        dir=$workers_dir/gw$n
        worker_prefixes+=("$dir/wineprefix")
        prepare_prefix "$dir/wineprefix" "$dir/rig" "$WINEPREFIX" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do
        wait "$pid"
    done
    for ((n = 0; n < count; n++)); do
        dir=$workers_dir/gw$n
        start_xvfb "$dir/rig"
        map_ports "$dir/rig" quiet
        start_wineserver "$dir/wineprefix" "$dir/rig" "$display" &
        worker_starts+=($!)
        printf 'WINEPREFIX=%s\nQUILLMAR_RIG=%s\nDISPLAY=%s\n' "$dir/wineprefix" "$dir/rig" "$display" >"$dir/env"
    done
}

wait_for_workers() {
    local pid
    for pid in "${worker_starts[@]}"; do
        wait "$pid"
    done
    worker_starts=()
}

# The system tests, on WORKERS workers, whose rigs start_workers started;
# ARGS go to pytest. With workers, in three parts: first every test but those
# marked alone or timing; then those marked alone (on two workers): they
# change the host's network links, and a program under Wine that ends while
# a link changes may crash on its way out; last those marked timing, one at
# a time without workers, as they judge a delay that a busy machine would
# make for them. A part without tests (pytest's status 5) is no failure
# unless all are.
system_tests() {
    if [ "$workers" -le 1 ]; then
        /usr/bin/python3 -m pytest "$source_dir/tests/system" -p no:xdist "$@"
        return
    fi
    wait_for_workers
    local statuses=() status=0
    # loadgroup: every test is a unit of its own, handed to the next free
    # worker in the order of the collection (slow tests first, see
    # conftest.py); plain load hands out runs of consecutive tests. A worker
    # that dies (a test over pytest's time-out ends its process) is not
    # replaced: a new one would have a name without a rig, and the dead one's
    # prefix may still hold its program. The run ends, with that test failed,
    # as a run without workers would.
    /usr/bin/python3 -m pytest "$source_dir/tests/system" -n "$workers" --dist loadgroup \
        --max-worker-restart 0 --alone=without --timing=without "$@" || status=$?
    statuses+=("$status")
    echo "The system tests that change the network links, after the others:"
    status=0
    /usr/bin/python3 -m pytest "$source_dir/tests/system" -n 2 --dist loadgroup \
        --max-worker-restart 0 --alone=only --timing=without "$@" || status=$?
    statuses+=("$status")
    echo "The system tests that judge a delay, one at a time:"
    status=0
    /usr/bin/python3 -m pytest "$source_dir/tests/system" -p no:xdist --alone=without --timing=only "$@" \
        || status=$?
    statuses+=("$status")
    local all_empty=1
    for status in "${statuses[@]}"; do
        [ "$status" -eq 5 ] || all_empty=0
        if [ "$status" -ne 0 ] && [ "$status" -ne 5 ]; then
            return "$status"
        fi
    done
    [ "$all_empty" -eq 0 ] || return 5
}

mkdir -p "$rig"
prepare_prefix "$WINEPREFIX" "$rig"
start_display
map_ports "$rig"
start_wineserver "$WINEPREFIX" "$rig"

case $command in
run)
    [ -n "${QUILLMAR_COM1:-}" ] || start_virtual_port
    echo "Quillmar.ini lives beside the program: $build/Quillmar.ini"
    # HELP(&P) opens Quillmar.hlp from the current folder: the build's.
    cd "$build"
    wine "$build/Quillmar.exe"
    ;;
test)
    # The workers' rigs start while the unit tests run.
    workers=$(worker_count)
    [ "$workers" -le 1 ] || start_workers "$workers"
    ctest --test-dir "$build" --output-on-failure
    system_tests "$@"
    ;;
soak)
    # The system tests marked soak, then tools/soak.py; both always run.
    workers=$(worker_count)
    [ "$workers" -le 1 ] || start_workers "$workers"
    status=0
    system_tests -m soak "$@" || status=1
    /usr/bin/python3 "$source_dir/tools/soak.py" || status=1
    exit "$status"
    ;;
exec)
    "$@"
    ;;
*)
    usage
    ;;
esac
