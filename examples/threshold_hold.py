#!/usr/bin/python3
"""Streams a virtual Dogwood 16 measuring a cell with an ion channel and switches the holding
voltage online: at +60 mV while the first channel's current stays below a threshold, at 0 mV
for a moment after a block whose mean exceeds it (a channel opening), then back.

    PYTHONPATH=build/python examples/threshold_hold.py [--seconds S] [--threshold PA]
"""

import argparse
import os

import kav4


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=3.0, help="how long to stream (default: 3)")
    ap.add_argument("--threshold", type=float, default=62.0, help="the current threshold in pA (default: 62)")
    args = ap.parse_args()

    # A 1 GOhm membrane with a 100 pS channel: 60 pA with the channel closed, 66 pA open.
    os.environ.setdefault("KAV4_SIMULATE_CELL", "Rm=1G,g=100p,open=20m,closed=80m,noise=0.5p")
    (device,) = kav4.devices(simulate="dogwood16")
    with kav4.connect(device) as amp:
        amp.set_rate(10000)
        amp.hold(60)
        unit = amp.channels[0].unit
        resting = 0
        switches = 0
        for block in amp.stream(seconds=args.seconds, block=200):
            if block.data_lost:
                print(f"{block.first / amp.rate:7.3f} s: {sum(loss.frames for loss in block.lost)} frames lost")
            mean = block.frames[:, 0].mean()
            if resting:
                resting -= 1
                if resting == 0:
                    amp.hold(60)
            elif mean > args.threshold:
                print(f"{block.first / amp.rate:7.3f} s: {mean:.2f} {unit} above the threshold: holding 0 mV")
                amp.hold(0)
                switches += 1
                resting = 5  # blocks of 20 ms
        print(f"switched {switches} times in {args.seconds:g} s")


if __name__ == "__main__":
    main()
