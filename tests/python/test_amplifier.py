"""Scripting a virtual Dogwood 16 through kav4: a square wave on a cell of known resistance streamed
and recorded in a nanoampere range at a rate whose real value is not its nominal one, the current
of every steady frame against Ohm's law; a pattern stream that loses packets, every frame and
every loss accounted for; what bad arguments and a vanished amplifier raise; and the examples."""

import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest

# Read when the virtual bus is made: 510 MOhm in all, no channel openings, no reset glitch.
os.environ["KAV4_SIMULATE_CELL"] = "Rm=500M,Rs=10M,g=0,artefact=0,noise=0.5p"

import kav4  # noqa: E402

ID = "VDOGWOOD1601"
CURRENTS = 16


@pytest.fixture
def amp(tmp_path, monkeypatch, request):
    monkeypatch.setenv("HOME", str(tmp_path))  # the lab book's folder
    assert kav4.devices(simulate="dogwood16") == [ID]
    # Before connecting, so that every frame streamed carries its number.
    pattern = "pattern" in request.keywords
    kav4._kav4._virtual(ID, "pattern", pattern)
    try:
        with kav4.connect(ID) as amplifier:
            yield amplifier
    finally:
        kav4._kav4._virtual(ID, "pattern", 0)


def steady(frames, settle=40):
    """The voltage (mV) and current (channels' unit) of frames whose voltage has not changed for
    `settle` frames: the cell's capacitance is charged."""
    v = frames[:, -1]
    still = np.ones(len(v), dtype=bool)
    for k in range(1, settle):
        still[k:] &= v[k:] == v[:-k]
    still[:settle] = False
    return v[still], frames[still, :CURRENTS]


def check_ohm(frames, levels):
    v, i = steady(frames)
    assert set(np.unique(v)) == set(levels), "every level of the square wave held"
    for level in np.unique(v):
        # 1 mV over 1 MOhm is 1 nA.
        expected = np.full(CURRENTS, level / 510.0)
        assert i[v == level].mean(axis=0) == pytest.approx(expected, rel=2e-3, abs=3e-4), level


@pytest.mark.parametrize("fmt", ["dat", "abf"])
def test_a_square_wave_on_a_known_cell_streams_and_records_its_current(amp, tmp_path, fmt):
    amp.set_rate(10000)
    assert amp.rate == pytest.approx(9765.625), "the real rate, not the nominal"
    amp.set_current_range(amp.current_ranges[1])
    assert [c.unit for c in amp.channels] == ["nA"] * CURRENTS + ["mV", "mV"]
    # Vhold, then Vhold + Vpulse, then Vhold - Vpulse, 40 ms each.
    amp.apply_protocol("Square wave", Vhold=20, Vpulse=60, Thold=40, Tpulse=40)

    blocks = list(amp.stream(seconds=1.0, block=1000))
    assert [b.first for b in blocks] == list(range(0, 9766, 1000))
    assert not any(b.data_lost for b in blocks)
    frames = np.concatenate([b.frames for b in blocks])
    assert frames.shape == (round(amp.rate), CURRENTS + 2)
    # The connection resets the front end: its first frames read no current.
    check_ohm(frames[round(0.1 * amp.rate):], [20.0, 80.0, -40.0])

    rec = amp.record(tmp_path / "cells" / "cell", seconds=0.5, format=fmt)
    assert rec.format == fmt.upper() and rec.rate == amp.rate and len(rec) == round(0.5 * amp.rate)
    assert [c.unit for c in rec.channels[:CURRENTS]] == ["nA"] * CURRENTS
    assert rec.channels[-1].unit == "mV"
    assert os.path.dirname(rec.path) == str(tmp_path / "cells" / "cell")
    check_ohm(rec.read(), [20.0, 80.0, -40.0])
    if fmt == "abf":
        # Neo reads the current channel's file as we do: its own channel and the voltage.
        neo = pytest.importorskip("neo")
        theirs = neo.io.AxonIO(filename=rec.path).read_block().segments[0].analogsignals
        assert float(theirs[0].sampling_rate) == pytest.approx(rec.rate, rel=1e-7)
        assert np.allclose(theirs[0].magnitude[:, 0], rec.channel(0), rtol=1e-6, atol=1e-6)
        assert np.allclose(theirs[1].magnitude[:, 0], rec.channel("V"), rtol=1e-6, atol=1e-6)


@pytest.mark.pattern
def test_a_stream_that_loses_packets_accounts_for_every_frame(amp, tmp_path):
    step = amp.current_ranges[0].step
    blocks = []
    for block in amp.stream(seconds=2.0, block=500):
        blocks.append(block)
        if len(blocks) == 3:
            kav4._kav4._virtual(ID, "drop", 2)
    frames = np.concatenate([b.frames for b in blocks])
    # Pattern mode: current word 0 of frame n holds n & 0xFFFF.
    codes = np.rint(frames[:, 0] / step).astype(np.int64) & 0xFFFF
    jumps = (np.diff(codes) % 0x10000) - 1
    lost = [loss for b in blocks for loss in b.lost]
    assert lost, "the dropped packets were reported"
    assert sum(loss.frames for loss in lost) == jumps.sum() > 0
    assert [loss.frame for loss in lost] == list(np.nonzero(jumps)[0] + 1)
    for b in blocks:
        # Told once sized: with the block holding the frame after it, or a later one.
        assert all(0 < loss.frame <= b.first + len(b.frames) for loss in b.lost)

    # A recording of the same stream holds every frame, in order.
    rec = amp.record(tmp_path / "pattern", seconds=0.5)
    codes = np.rint(rec.channel(0) / rec.channels[0].step).astype(np.int64) & 0xFFFF
    assert len(codes) == round(0.5 * amp.rate) and rec.losses == []
    assert np.all(np.diff(codes) % 0x10000 == 1)


def test_bad_arguments_and_a_vanished_amplifier_raise_with_what_is_wrong(amp):
    amp.hold(50)
    assert any(b.frames[-1, -1] == 50.0 for b in amp.stream(seconds=5)), "the amplifier holds it"
    with pytest.raises(kav4.DeviceError, match="no such device: NOPE; found: VDOGWOOD1601"):
        kav4.connect("NOPE")
    with pytest.raises(kav4.DeviceError, match="Device already connected") as already:
        kav4.connect(ID)
    assert already.value.code == 0x30003
    # The library's judgement, and nothing sent: the amplifier still holds 50 mV.
    with pytest.raises(kav4.DeviceError, match=r"Vpulse must be within \[-511,511\]mV") as refused:
        amp.apply_protocol("Square wave", Vhold=0, Vpulse=600)
    assert refused.value.code == 0x40003
    with pytest.raises(TypeError, match="Constant has no parameter 'Vpulse'"):
        amp.apply_protocol("Constant", Vpulse=10)
    with pytest.raises(ValueError, match="no protocol Sine"):
        amp.apply_protocol("Sine")
    with pytest.raises(ValueError, match="no sampling rate 7 Hz; choose one of: 1250, 5000, 10000"):
        amp.set_rate(7)
    with pytest.raises(IndexError):
        amp.set_current_range(99)
    with pytest.raises(IndexError):
        amp.set_current_range(0, channel=CURRENTS)
    with pytest.raises(ValueError, match="format"):
        amp.record("cells/cell", seconds=1, format="wav")
    with pytest.raises(ValueError, match="recording name"):
        amp.record("cells/c?ll", seconds=1)
    v, _ = steady(np.concatenate([b.frames for b in amp.stream(seconds=0.2)]))
    assert np.all(v == 50.0)

    kav4._kav4._virtual(ID, "unplug", 0)
    try:
        with pytest.raises(kav4.DeviceError, match="no data from the amplifiers for 0.5 s"):
            for _ in amp.stream(seconds=10, timeout=0.5):
                pass
    finally:
        kav4._kav4._virtual(ID, "replug", 0)


def test_the_examples_run(tmp_path):
    examples = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
    env = dict(os.environ, HOME=str(tmp_path))
    env.pop("KAV4_SIMULATE_CELL")  # each example's own cell

    def run(*args):
        done = subprocess.run([sys.executable, os.path.join(examples, args[0]), *args[1:]], env=env,
                              capture_output=True, text=True, check=False, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    table = run("protocol_sweep.py", "--out", str(tmp_path / "sweeps")).splitlines()[2:]
    iv = {float(v): float(i) for v, i, _ in (line.split() for line in table)}
    assert sorted(iv) == [-60, -40, -20, 0, 20, 40, 60]
    # The default cell: 1 GOhm, and a channel reversing at 0 mV open a fifth of the time.
    assert np.polyfit(list(iv), list(iv.values()), 1)[0] == pytest.approx(1.0, rel=0.05)
    assert "switched" in run("threshold_hold.py", "--seconds", "1")
    if importlib.util.find_spec("matplotlib"):
        run("plot_recording.py", str(tmp_path / "sweeps" / "sweep" / "sweep.kdh"), "Ch1", "--out",
            str(tmp_path / "plot.png"))
        assert (tmp_path / "plot.png").stat().st_size > 0
