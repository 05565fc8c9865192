#!/bin/sh
# make soak: records Dogwood 32 at its highest rate in pattern mode for SOAK_SECONDS through
# kav4-cli record --verify-pattern, into a temporary folder (removed afterwards, with the lab
# book, which goes to a temporary home), and says whether every frame came through.
# Without faults nothing may be lost; with SOAK_FAULTS=1 a fault of the virtual amplifier is
# injected every minute (dropped bytes, a stall, a device buffer overflow in turn) and every
# loss must be counted and marked with its exact size.
# Usage: scripts/soak.sh KAV4_CLI SECONDS FAULTS
set -eu
cli=$1
seconds=$2
faults=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
export HOME="$work/home"
mkdir -p "$HOME"

# The last of the model's rates is its highest ("... 50 kHz 100 kHz", the default marked "*").
rate=$("$cli" --simulate dogwood32 info VDOGWOOD3201 | awk '/^sampling rates:/ { print $(NF-1) $NF }' | tr -d '*')
echo "soak: Dogwood 32 at $rate for $seconds s, faults $([ "$faults" = 1 ] && echo "every 60 s" || echo off)"

set -- --simulate dogwood32 record VDOGWOOD3201 --seconds "$seconds" --rate "$rate" --format dat \
    --out "$work/records" --verify-pattern
[ "$faults" = 1 ] && set -- "$@" --inject-faults 60
status=0
"$cli" "$@" || status=$?

# Without faults: nothing lost (0); with faults: frames lost (3), each marked (else 1).
if [ "$faults" = 1 ] && [ "$status" -eq 3 ]; then
    echo "soak: passed, every loss counted and marked"
elif [ "$faults" != 1 ] && [ "$status" -eq 0 ]; then
    echo "soak: passed, no frame lost"
else
    echo "soak: FAILED (kav4-cli exited with $status)"
    exit 1
fi
