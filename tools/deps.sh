#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Quillmar
# need, when any is missing. Safe to run again: it does nothing when all are
# there. Through sudo when not root; where there is no sudo, it prints the
# apt-get line to run as root and stops.
set -euo pipefail

packages=(
    make cmake python3
    g++-mingw-w64-x86-64-posix mingw-w64-tools   # the Windows compiler, windres
    googletest                                   # sources, built for Windows by the project
    wine wine64                                  # runs Quillmar and its tests
    xvfb                                         # a display when there is none
    socat                                        # the virtual serial port of `make run`
    fonts-ipafont-gothic                         # glyphs for the Japanese texts
    python3-pytest python3-pytest-timeout        # the system tests
    python3-pytest-xdist                         # ... in parallel
    python3-serial                               # ... an RFC 2217 client that is not ours
    iproute2                                     # network namespaces: peers that vanish
    universal-ctags                              # the folder check's definitions (tools/folders.py)
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    # A Debian installed with a root password has no sudo: say what to run as root.
    if ! command -v sudo >/dev/null 2>&1; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "There is no sudo here. Install them as root, then try again:" >&2
        echo "    su -c 'apt-get update && apt-get install -y ${missing[*]}'" >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "Installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
