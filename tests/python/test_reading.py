"""kav4.open on recordings made by kav4-cli from virtual amplifiers in pattern mode (every frame
carries its number: checked frame by frame through the codes the values came from), on another
program's ABF file against Neo's own reading of it, and on files that are not recordings."""

import os
import subprocess

import numpy as np
import pytest

import kav4

DATA = os.environ["KAV4_TEST_DATA"]


def record(tmp_path, model, ident, fmt, seconds="0.3"):
    """A recording of `seconds` by kav4-cli; its header (DAT) or first channel file (ABF)."""
    env = dict(os.environ, HOME=str(tmp_path))
    out = tmp_path / "out"
    run = subprocess.run([os.environ["KAV4_CLI"], "--simulate", model, "record", ident, "--seconds", seconds,
                          "--format", fmt, "--out", str(out), "--verify-pattern"],
                         env=env, capture_output=True, text=True, check=False)
    assert run.returncode == 0, run.stdout + run.stderr
    recorded = int(run.stdout.split("recorded: ")[1].split()[0])
    return out / "file" / ("file.kdh" if fmt == "dat" else "file_CH001_000.abf"), recorded


MODELS = {"alder": "VALDER01", "birch": "VBIRCH01", "cedar": "VCEDAR01", "cedar1": "VCEDAR101",
          "dogwood16": "VDOGWOOD1601", "dogwood32": "VDOGWOOD3201", "elm": "VELM01", "fir": "VFIR01"}


@pytest.mark.parametrize("fmt", ["dat", "abf"])
@pytest.mark.parametrize("model", sorted(MODELS))
def test_every_frame_of_a_pattern_recording_of_every_model_reads_back_in_order(tmp_path, model, fmt):
    path, recorded = record(tmp_path, model, MODELS[model], fmt)
    rec = kav4.open(path)
    assert rec.format == fmt.upper()
    assert len(rec) == recorded and rec.losses == []
    kinds = [c.kind for c in rec.channels]
    assert kinds[-1] == "voltage" and kinds.count("voltage") == 1, kinds
    assert rec.duration == pytest.approx(recorded / rec.rate)
    # Pattern mode: current word 0 of frame n holds n & 0xFFFF, current word c >= 2 (n + c).
    def codes(c):
        channel = rec.channels[c]
        return np.rint((rec.channel(c) - channel.zero) / channel.step).astype(np.int64) & 0xFFFF
    first = rec.channels[0]
    assert first.kind == "current"
    assert np.all(np.diff(codes(0)) % 0x10000 == 1), "consecutive frames, none lost, none repeated"
    if kinds.count("current") > 2:
        assert np.all((codes(2) - codes(0)) % 0x10000 == 2)
    # Slices read what the whole read holds.
    whole = rec.read()
    assert np.array_equal(rec[5:17], whole[5:17])
    assert np.array_equal(rec.read(3, 9, [first.name, -1]), whole[3:9][:, [0, -1]])


def test_another_programs_episodic_file_is_neos():
    neo = pytest.importorskip("neo")
    path = os.path.join(DATA, "2018_11_16_sh_0006.abf")
    rec = kav4.open(path)
    theirs = neo.io.AxonIO(filename=path).read_block()
    ours = rec.to_neo()
    assert len(ours.segments) == len(theirs.segments) == len(rec.sweeps)
    for mine, their in zip(ours.segments, theirs.segments):
        a, b = mine.analogsignals[0], their.analogsignals[0]
        assert float(a.sampling_rate) == float(b.sampling_rate)
        assert float(a.t_start) == pytest.approx(float(b.t_start))
        assert np.allclose(a.magnitude[:, 0], b.magnitude[:, 0], rtol=1e-6, atol=1e-6)
    assert [t.text for t in rec.tags] == ["+drug at 3min"]


def test_bad_files_and_frames_raise_with_what_is_wrong(tmp_path):
    (tmp_path / "notes.txt").write_text("not a recording")
    with pytest.raises(kav4.RecordingError, match="notes.txt: not a recording"):
        kav4.open(tmp_path / "notes.txt")
    with pytest.raises(OSError):
        kav4.open(tmp_path / "missing.kdh")
    rec = kav4.open(os.path.join(DATA, "File_axon_7.abf"))
    with pytest.raises(IndexError, match="not in the recording"):
        rec.read(0, len(rec) + 1)
    with pytest.raises(KeyError):
        rec.channel("no such channel")
