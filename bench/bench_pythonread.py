"""kav4.open(...).read() against NumPy's own fromfile of the same bytes: a DAT recording of 32
current channels at 100 kHz (3 s, 40 MB, made by kav4-cli from a virtual Dogwood 32), read
whole from the page cache, best of ten each. Prints both rates and their ratio (target: at
least 1 GB/s)."""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import kav4


def best(read, rounds=10):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        read()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    with tempfile.TemporaryDirectory() as home:
        run = subprocess.run([sys.argv[1], "--simulate", "dogwood32", "record", "VDOGWOOD3201", "--seconds", "3",
                              "--rate", "100k", "--format", "dat", "--out", os.path.join(home, "out")],
                             env=dict(os.environ, HOME=home), capture_output=True, text=True, check=True)
        folder = os.path.join(home, "out", "file")
        rec = kav4.open(os.path.join(folder, "file.kdh"))
        data = os.path.join(folder, "file_000.dat")
        nbytes = rec.frames * len(rec.channels) * 4
        ours = best(rec.read)
        numpy = best(lambda: np.fromfile(data, dtype=np.float32, count=rec.frames * len(rec.channels)))
        print(run.stdout.splitlines()[0])
        print(f"kav4 read: {nbytes / ours / 1e9:.2f} GB/s, numpy.fromfile: {nbytes / numpy / 1e9:.2f} GB/s, "
              f"ratio {numpy / ours:.2f}")


if __name__ == "__main__":
    main()
