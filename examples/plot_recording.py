#!/usr/bin/python3
"""Reads a recording (a DAT recording's .kdh, or an ABF file) and plots one channel against time
with matplotlib, with its losses marked.

    PYTHONPATH=build/python examples/plot_recording.py cell/cell.kdh [CHANNEL] [--out plot.png]
"""

import argparse

import kav4


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("path", help="the recording")
    ap.add_argument("channel", nargs="?", default="0", help="a channel's name or index (default: the first)")
    ap.add_argument("--out", help="a picture file to write instead of showing a window")
    args = ap.parse_args()

    import matplotlib
    if args.out:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rec = kav4.open(args.path)
    which = int(args.channel) if args.channel.isdigit() else args.channel
    values = rec.channel(which)  # raises, naming the channels, when there is no such channel
    channel = rec.channels[which] if isinstance(which, int) else next(c for c in rec.channels if c.name == which)
    print(rec)
    fig, ax = plt.subplots(figsize=(10, 4))
    ax.plot(rec.times(), values, lw=0.5)
    for loss in rec.losses:
        ax.axvline(loss.frame / rec.rate, color="red", lw=0.8)
    ax.set_xlabel("time [s]")
    ax.set_ylabel(f"{channel.name} [{channel.unit}]")
    ax.set_title(args.path)
    if args.out:
        fig.savefig(args.out, dpi=120)
    else:
        plt.show()


if __name__ == "__main__":
    main()
