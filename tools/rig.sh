#!/usr/bin/env bash
# The Wine rig that runs Quillmar and its tests on Linux.
#
#   tools/rig.sh BUILD-DIR run          start Quillmar, with a virtual serial port on COM1
#   tools/rig.sh BUILD-DIR test [ARGS]  run the unit tests, then the system tests (ARGS go to pytest)
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
# end waits for a terminal program at BUILD-DIR/rig/device-com1.
set -euo pipefail

usage() { sed -n '3,6p' "$0" >&2; exit 2; }
[ $# -ge 2 ] || usage
build=$(realpath "$1")
command=$2
shift 2
source_dir=$(realpath "$(dirname "$0")/..")

rig=$build/rig
export WINEPREFIX=$build/wineprefix
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="
export QUILLMAR_BUILD=$build QUILLMAR_RIG=$rig
readonly PortCount=256

started_pids=()
cleanup() {
    # Only what this script started: our prefix's wineserver and our helpers.
    wineserver -k >/dev/null 2>&1 || true
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

prepare_prefix() {
    local stamp=$WINEPREFIX/.quillmar-rig
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$rig" ]; then
        return
    fi
    echo "Preparing the Wine prefix in $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    # Registry: no 2 s stall when a box closes without a window manager; a
    # Japanese font for the MS Gothic names of the dialogs; our port links.
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n'
        printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n'
        printf '"ＭＳ Ｐゴシック"="IPAPGothic"\r\n"ＭＳ ゴシック"="IPAGothic"\r\n'
        printf '"MS PGothic"="IPAPGothic"\r\n"MS Gothic"="IPAGothic"\r\n"MS UI Gothic"="IPAPGothic"\r\n\r\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
        for ((n = 1; n <= PortCount; n++)); do
            printf '"COM%d"="%s/ports/com%d"\r\n' "$n" "$rig" "$n"
        done
    } | iconv -f UTF-8 -t UTF-16 >"$build/rig.reg"
    wine regedit /S "$(winepath -w "$build/rig.reg" 2>/dev/null)"
    wineserver -w
    echo "$rig" >"$stamp"
}

start_display() {
    if [ -n "${DISPLAY:-}" ]; then
        return
    fi
    local fifo=$rig/displayfd
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >"$rig/xvfb.log" 2>&1 &
    started_pids+=($!)
    local number
    if ! read -r -t 20 number <"$fifo"; then
        echo "Xvfb did not start; see $rig/xvfb.log" >&2
        exit 1
    fi
    rm -f "$fifo"
    export DISPLAY=:$number
}

# Every COMn link points at the folder that stands for "no port", or at the
# device QUILLMAR_COMn names.
map_ports() {
    mkdir -p "$rig/ports" "$rig/absent"
    local n variable
    for ((n = 1; n <= PortCount; n++)); do
        ln -sfn "$rig/absent" "$rig/ports/com$n"
    done
    for ((n = 1; n <= PortCount; n++)); do
        variable=QUILLMAR_COM$n
        if [ -n "${!variable:-}" ]; then
            if [ ! -e "${!variable}" ]; then
                echo "$variable=${!variable}: no such device" >&2
                exit 1
            fi
            ln -sfn "$(realpath "${!variable}")" "$rig/ports/com$n"
            echo "COM$n is ${!variable}"
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
}

start_wineserver() {
    wineserver -p
    # The first program brings up Wine's services, which map the ports.
    wine cmd /c exit >/dev/null 2>&1
    local port
    port=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
    if [ "$port" != "$rig/ports/com1" ]; then
        echo "COM1 of the prefix points at '$port', not at the rig's port link" >&2
        exit 1
    fi
}

mkdir -p "$rig"
prepare_prefix
start_display
map_ports
start_wineserver

case $command in
run)
    [ -n "${QUILLMAR_COM1:-}" ] || start_virtual_port
    echo "Quillmar.ini lives beside the program: $build/Quillmar.ini"
    # HELP(&P) opens Quillmar.hlp from the current folder: the build's.
    cd "$build"
    wine "$build/Quillmar.exe"
    ;;
test)
    ctest --test-dir "$build" --output-on-failure
    /usr/bin/python3 -m pytest "$source_dir/tests/system" "$@"
    ;;
exec)
    "$@"
    ;;
*)
    usage
    ;;
esac
