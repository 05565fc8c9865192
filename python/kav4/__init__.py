"""KAV4 recordings and amplifiers in Python.

Opens what KAV4 records (a DAT recording through its ``.kdh`` header, KAV4's ABF files) and ABF
files of other programs (versions 1 and 2), with the program's own reader: the files are mapped,
never loaded whole, so a long recording opens at once and a slice costs what it reads.

    >>> import kav4
    >>> rec = kav4.open("cell/cell.kdh")
    >>> rec.rate, rec.duration, [c.name for c in rec.channels]
    >>> current = rec.channel("Ch1")          # every frame of one channel, in its unit
    >>> block = rec.read(0, 1000)             # frames 0 to 999 of every channel
    >>> neo_block = rec.to_neo()              # with Neo installed

The amplifiers are scripted through :func:`devices` and :func:`connect` (see
``help(kav4.amplifier)``): ranges, rates, the filter and protocols, streaming into NumPy and
recording, through the program's own session.

Values are in each channel's unit (``Channel.unit``, for example "pA" or "mV"), as float32.
Times are the recording's own: in an episodic file a sweep's first frame is at the sweep's
start, and tags are placed the same way.
"""

from __future__ import annotations

import dataclasses
import datetime
import os
from typing import Optional, Sequence, Union

import numpy as np

from . import _kav4

__all__ = ["open", "Recording", "Channel", "Sweep", "Tag", "Loss", "RecordingError",
           "devices", "connect", "Amplifier", "Range", "Parameter", "Protocol", "Block", "DeviceError"]

RecordingError = _kav4.RecordingError
RecordingError.__doc__ = "A file that cannot be read as a recording; the message says what is wrong and where."


@dataclasses.dataclass(frozen=True)
class Channel:
    """One channel of a recording.

    ``kind`` is "voltage", "current" or "other". Where the file tells how its values came from
    the amplifier's signed 16-bit codes, ``value = code * step + zero``; ``step`` is 0 where it
    does not.
    """

    name: str
    unit: str
    kind: str
    step: float
    zero: float


@dataclasses.dataclass(frozen=True)
class Sweep:
    """A sweep of an episodic recording: its start (in frames of time from the recording's
    start) and the frames it holds."""

    start: int
    frames: int


@dataclasses.dataclass(frozen=True)
class Tag:
    """A tag: its time in frames from the recording's start, in seconds, and its text."""

    frame: int
    time: float
    text: str


@dataclasses.dataclass(frozen=True)
class Loss:
    """Frames lost while recording: ``frames`` of them, just before frame ``frame``."""

    frame: int
    frames: int


class Recording:
    """A recording opened by :func:`open`. See the module's help for an example."""

    def __init__(self, path: Union[str, os.PathLike]):
        self.path: str = os.fspath(path)
        self._reader = _kav4.Reader.open(self.path)
        r = self._reader
        #: "DAT" or "ABF".
        self.format: str = r.format
        #: The channels, in the order of :meth:`read`'s columns.
        self.channels: list[Channel] = [Channel(n, u, k, s, z) for n, u, k, _, s, z in r.channels]
        #: Frames per second: the real sampling rate (Hz).
        self.rate: float = r.channels[0][3] if r.channels else 0.0
        #: Frames per channel.
        self.frames: int = r.frames
        #: Sweeps of an episodic recording; empty when it is gap-free.
        self.sweeps: list[Sweep] = [Sweep(s, f) for s, f in r.sweeps]
        #: Tags, in time order.
        self.tags: list[Tag] = [Tag(f, f / self.rate if self.rate else 0.0, t) for f, t in r.tags]
        #: Where frames were lost while recording, as the recording marks them.
        self.losses: list[Loss] = [Loss(f, n) for f, n in r.losses]
        #: What the reader read around (a part frame at a file's end, channel files of unequal length).
        self.notes: list[str] = list(r.notes)
        start = r.start
        #: When the recording started; None when the file does not say.
        self.start: Optional[datetime.datetime] = datetime.datetime.fromisoformat(start) if start else None

    @property
    def duration(self) -> float:
        """The frames held, in seconds."""
        return self.frames / self.rate if self.rate else 0.0

    def __repr__(self) -> str:
        names = ", ".join(f"{c.name} [{c.unit}]" for c in self.channels)
        return f"<kav4.Recording {self.format} {self.path!r}: {self.frames} frames at {self.rate:g} Hz; {names}>"

    def __len__(self) -> int:
        return self.frames

    def _index(self, which: Union[int, str]) -> int:
        if isinstance(which, str):
            for i, c in enumerate(self.channels):
                if c.name == which:
                    return i
            raise KeyError(f"no channel {which!r}; the recording has {[c.name for c in self.channels]}")
        if not -len(self.channels) <= which < len(self.channels):
            raise IndexError(f"no channel {which}; the recording has {len(self.channels)}")
        return which % len(self.channels)

    def read(self, start: int = 0, stop: Optional[int] = None,
             channels: Optional[Sequence[Union[int, str]]] = None) -> np.ndarray:
        """Frames ``start`` to ``stop`` (excluded; the end when None) as a float32 array of one
        row per frame and one column per channel (or per channel named in ``channels``, by index
        or name), in the channels' units."""
        stop = self.frames if stop is None else stop
        if not 0 <= start <= stop <= self.frames:
            raise IndexError(f"frames {start} to {stop} are not in the recording's {self.frames}")
        values = self._reader.read(start, stop - start)
        if channels is None:
            return values
        return np.ascontiguousarray(values[:, [self._index(c) for c in channels]])

    def __getitem__(self, key: slice) -> np.ndarray:
        """``rec[a:b]``: :meth:`read` of those frames."""
        if not isinstance(key, slice) or key.step not in (None, 1):
            raise TypeError("a recording is sliced by frames: rec[start:stop]")
        start, stop, _ = key.indices(self.frames)
        return self.read(start, max(start, stop))

    def channel(self, which: Union[int, str], start: int = 0, stop: Optional[int] = None) -> np.ndarray:
        """One channel (by index or name), frames ``start`` to ``stop``, in its unit."""
        return self.read(start, stop, [which])[:, 0]

    def times(self, start: int = 0, stop: Optional[int] = None) -> np.ndarray:
        """The time of each of those frames in seconds from the recording's start (sweeps at
        their own starts)."""
        stop = self.frames if stop is None else stop
        frames = np.arange(start, stop, dtype=np.int64)
        if self.sweeps:
            held = np.cumsum([0] + [s.frames for s in self.sweeps])
            sweep = np.clip(np.searchsorted(held, frames, side="right") - 1, 0, len(self.sweeps) - 1)
            starts = np.array([s.start for s in self.sweeps], dtype=np.int64)
            frames = starts[sweep] + frames - held[sweep]
        return frames / self.rate

    def to_neo(self):
        """The recording as a Neo ``Block``: a ``Segment`` per sweep (one when gap-free) holding
        one ``AnalogSignal`` per channel and the tags as an ``Event``. Needs Neo (Debian's
        ``python3-neo``); a unit Neo does not know becomes dimensionless, named in the signal's
        annotations."""
        import neo
        import quantities as pq

        def units(name: str):
            try:
                return pq.Quantity(1.0, name.replace("µ", "u")).units
            except (LookupError, ValueError):
                return pq.dimensionless

        block = neo.Block(name=os.path.basename(self.path), file_origin=self.path)
        pieces = self.sweeps or [Sweep(0, self.frames)]
        held = 0
        for k, sweep in enumerate(pieces):
            segment = neo.Segment(name=f"sweep {k + 1}", index=k)
            values = self.read(held, held + sweep.frames)
            for i, c in enumerate(self.channels):
                segment.analogsignals.append(neo.AnalogSignal(
                    values[:, i], units=units(c.unit), sampling_rate=self.rate * pq.Hz,
                    t_start=sweep.start / self.rate * pq.s, name=c.name, kind=c.kind, unit=c.unit))
            if k == 0 and self.tags:
                segment.events.append(neo.Event(np.array([t.time for t in self.tags]) * pq.s,
                                                labels=np.array([t.text for t in self.tags]), name="tags"))
            block.segments.append(segment)
            held += sweep.frames
        return block


def open(path: Union[str, os.PathLike]) -> Recording:  # noqa: A001 - the module's verb, as in kav4.open
    """Opens the recording that ``path`` belongs to: a DAT recording's ``.kdh`` header or any
    of its ``.dat`` files, any of KAV4's ABF files of a recording (its other channels and chunks
    come with it), or an ABF file of another program. Raises :class:`RecordingError` with what is
    wrong and where when it cannot be read."""
    return Recording(path)


from .amplifier import Amplifier, Block, DeviceError, Parameter, Protocol, Range, connect, devices  # noqa: E402
