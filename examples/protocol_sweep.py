#!/usr/bin/python3
"""Runs the "Variable Amplitude" protocol (steps of rising amplitude from a holding voltage) on a
virtual Dogwood 16, records it to DAT, and prints the mean current of the first channel at each
voltage level of the recording: an I-V curve of the virtual cell.

    PYTHONPATH=build/python examples/protocol_sweep.py [--out FOLDER] [--seconds S]
"""

import argparse

import numpy as np

import kav4


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default="sweeps", help="the folder the recording goes to (default: sweeps)")
    ap.add_argument("--seconds", type=float, default=1.2, help="how long to record (default: 1.2)")
    args = ap.parse_args()

    (device,) = kav4.devices(simulate="dogwood16")
    with kav4.connect(device) as amp:
        amp.set_rate(10000)
        amp.apply_protocol("Variable Amplitude", Vhold=0, Vpulse=-60, Vstep=20, Thold=20, Tpulse=40, N=7, NR=1)
        rec = amp.record(f"{args.out}/sweep", seconds=args.seconds, format="dat")
    print(rec)
    voltage = rec.channel("V1")
    current = rec.channel("Ch1")
    print(f"{'V [mV]':>8} {'I [' + rec.channels[0].unit + ']':>10} {'frames':>7}")
    for level in np.unique(voltage):
        at = voltage == level
        # Past the first frames of each step, where the membrane charges.
        steady = at & np.roll(at, 20)
        print(f"{level:8.1f} {current[steady].mean():10.3f} {steady.sum():7d}")


if __name__ == "__main__":
    main()
