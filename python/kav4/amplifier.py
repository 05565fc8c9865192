"""Scripting the amplifiers: find them, connect, set ranges, rates, the filter and protocols,
stream frames into NumPy and record, all through the program's own session: a script sends the
device what the window sends, and the library judges every value as it judges the window's.

    >>> import kav4
    >>> kav4.devices(simulate="dogwood16")      # or kav4.devices() for the USB amplifiers
    ['VDOGWOOD1601']
    >>> with kav4.connect("VDOGWOOD1601") as amp:
    ...     amp.set_rate(10000)
    ...     amp.apply_protocol("Constant", Vhold=50)
    ...     for block in amp.stream(seconds=1.0, block=2000):
    ...         print(block.frames.mean(axis=0), block.lost)
    ...     rec = amp.record("cells/cell", seconds=10)
"""

from __future__ import annotations

import dataclasses
import os
from typing import Iterator, Optional, Sequence, Union

import numpy as np

from . import _kav4

__all__ = ["devices", "connect", "Amplifier", "Range", "Parameter", "Protocol", "Block", "DeviceError"]

DeviceError = _kav4.DeviceError
DeviceError.__doc__ = ("What the library or the amplifier refused: the message is the library's, "
                       "``code`` its error code (0 where the refusal is the module's own).")

# The first choice of driver holds while anything is connected.
_simulated: Optional[str] = None


def devices(simulate: Optional[str] = None) -> list[str]:
    """The ids of the amplifiers found. ``simulate`` lists virtual amplifiers instead, one per
    model named ("dogwood16", "cedar,cedar", ...), as ``kav4-cli --simulate`` does; without it the
    USB amplifiers are used, or the virtual ones that the environment variable ``KAV4_SIMULATE``
    names. The cell the virtual amplifiers measure is read from ``KAV4_SIMULATE_CELL``."""
    global _simulated
    models = simulate if simulate is not None else os.environ.get("KAV4_SIMULATE", "")
    found = _kav4.devices(models)
    _simulated = models
    return found


@dataclasses.dataclass(frozen=True)
class Range:
    """A range of values: ``min`` and ``max`` in ``unit`` (with its prefix, e.g. "pA"), and the
    value of one step of the amplifier's codes."""

    min: float
    max: float
    step: float
    unit: str

    def __str__(self) -> str:
        return f"±{self.max:g} {self.unit}"


@dataclasses.dataclass(frozen=True)
class Parameter:
    """A protocol's parameter: its name, its range (values are given in its unit) and the value
    it has now."""

    name: str
    range: Range
    value: float
    _family: int = dataclasses.field(repr=False, default=0)
    _index: int = dataclasses.field(repr=False, default=0)


@dataclasses.dataclass(frozen=True)
class Protocol:
    """A voltage protocol of the connected model and its parameters."""

    index: int
    name: str
    parameters: list[Parameter]


@dataclasses.dataclass(frozen=True)
class Block:
    """Frames of a stream: ``frames`` holds one row per frame, one column per channel (in the order
    and units of :attr:`Amplifier.channels`), ``first`` is the first frame's number counted from
    the stream's start, and ``lost`` lists the losses learnt of since the previous block, as
    :class:`kav4.Loss` (the frames lost, and the number of the frame that follows them). The
    library sizes a loss once it has seen what follows it, so a loss may come with a block after
    the one holding that frame; its frame number is exact."""

    first: int
    frames: np.ndarray
    lost: list

    @property
    def data_lost(self) -> bool:
        """Whether this block tells of lost frames."""
        return bool(self.lost)


class Amplifier:
    """Connected amplifiers: made by :func:`connect`, closed by :meth:`close` or at the end of a
    ``with`` block. One set of amplifiers is connected at a time."""

    def __init__(self, ids: Union[str, Sequence[str]]):
        self.ids: list[str] = [ids] if isinstance(ids, str) else list(ids)
        found = devices(_simulated)
        for i in self.ids:
            if i not in found:
                error = DeviceError(f"no such device: {i}; found: {', '.join(found) or 'none'}")
                error.code = 0
                raise error
        self._amp = _kav4.Amplifier(self.ids)
        described = self._amp.describe()
        #: The model's version, subversion and firmware ("" where the library does not say).
        self.model: str = described["model"]
        self._counts = (described["current"], described["gp"], described["voltage"])

    def __enter__(self) -> "Amplifier":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Stops what runs (a stream, a recording) and disconnects."""
        self._amp.close()

    @property
    def channels(self) -> list:
        """The channels as :class:`kav4.Channel`, in the order of a stream's columns and of a DAT
        recording's: the current channels, the general-purpose ones, the voltage last; each in
        the unit its range in force gives."""
        from . import Channel
        currents, gp, voltages = self._counts
        names = [f"Ch{i + 1}" for i in range(currents)] + list(gp) + [f"V{i + 1}" for i in range(voltages)]
        kinds = ["current"] * currents + ["other"] * len(gp) + ["voltage"] * voltages
        return [Channel(n, u, k, 0.0, 0.0) for n, u, k in zip(names, self._amp.units(), kinds)]

    @property
    def current_ranges(self) -> list[Range]:
        """The model's current ranges."""
        return [Range(*r) for r in self._amp.choices()["current_ranges"]]

    @property
    def voltage_ranges(self) -> list[Range]:
        """The model's voltage ranges (empty where it has one)."""
        return [Range(*r) for r in self._amp.choices()["voltage_ranges"]]

    @property
    def rates(self) -> list[float]:
        """The nominal sampling rates (Hz), as the window's buttons name them; the real rate of
        each is the nominal times the oversampling ratio."""
        return list(self._amp.choices()["rates"])

    @property
    def oversampling_ratios(self) -> list[int]:
        """The oversampling ratios of models that have them; empty on the others."""
        return list(self._amp.choices()["oversampling"])

    @property
    def rate(self) -> float:
        """The real sampling rate in force (Hz): frames per second of a stream and a recording."""
        return self._amp.rate

    def set_rate(self, nominal: float) -> None:
        """Sets the sampling rate whose nominal value (Hz) is ``nominal``, one of :attr:`rates`."""
        self._amp.set_rate(_choose(self.rates, nominal, "sampling rate", "Hz"))

    def set_oversampling(self, ratio: int) -> None:
        """Sets the oversampling ratio, one of :attr:`oversampling_ratios`."""
        self._amp.set_oversampling(_choose(self.oversampling_ratios, ratio, "oversampling ratio", ""))

    def set_current_range(self, which: Union[int, Range], channel: Optional[int] = None) -> None:
        """Sets a current range, given as one of :attr:`current_ranges` or its index, on one
        current channel (counted from 0) or, when ``channel`` is None, on all of them."""
        index = _index(self.current_ranges, which, "current range")
        currents = self._counts[0]
        if channel is not None and not 0 <= channel < currents:
            raise IndexError(f"no current channel {channel}; the amplifiers have {currents}")
        self._amp.set_current_range(index, currents if channel is None else channel)

    def set_voltage_range(self, which: Union[int, Range]) -> None:
        """Sets the voltage range, given as one of :attr:`voltage_ranges` or its index."""
        self._amp.set_voltage_range(_index(self.voltage_ranges, which, "voltage range"))

    def set_filter(self, cutoff: Optional[float], low_pass: bool = True) -> None:
        """Turns the digital filter on at ``cutoff`` Hz, low-pass or high-pass, or off with None.
        The library refuses a cut-off the rate in force does not allow."""
        self._amp.set_filter(0.0 if cutoff is None else float(cutoff), low_pass, cutoff is not None)

    @property
    def protocols(self) -> list[Protocol]:
        """The model's voltage protocols with their parameters and the values they have now."""
        return [Protocol(k, name, [Parameter(n, Range(*r), v, f, i) for n, f, i, r, v in params])
                for k, (name, params) in enumerate(self._amp.protocols())]

    def apply_protocol(self, protocol: Union[int, str], **values: float) -> None:
        """Applies a protocol (by name or index) with the parameter values given by name, in each
        parameter's unit (``Vhold=-50`` for -50 mV); the others keep the values they have. Every
        value is judged by the library before anything is sent; a refusal raises
        :class:`DeviceError` with the library's message and nothing changes on the device."""
        protocols = self.protocols
        chosen = _index(protocols, protocol, "protocol", key=lambda p: p.name)
        params = {p.name: p for p in protocols[chosen].parameters}
        for name in values:
            if name not in params:
                raise TypeError(f"{protocols[chosen].name} has no parameter {name!r}; it has {list(params)}")
        self._amp.apply_protocol(chosen, [(params[n]._family, params[n]._index, float(v)) for n, v in values.items()])

    def hold(self, vhold: float) -> None:
        """Holds ``vhold`` (in the unit of the holding protocol's parameter, mV on every model):
        the first protocol, at that voltage."""
        holding = self.protocols[0]
        self.apply_protocol(0, **{holding.parameters[0].name: vhold})

    def stream(self, seconds: Optional[float] = None, block: Optional[int] = None,
               timeout: float = 5.0) -> Iterator[Block]:
        """Frames as they come, in :class:`Block` s of ``block`` frames (a tenth of a second's by
        default), for ``seconds`` (for ever when None: stop by leaving the loop). Frames the
        amplifiers or the library lost are reported in each block's ``lost``. Raises
        :class:`DeviceError` when no frame comes for ``timeout`` seconds."""
        rate = self.rate
        size = int(block) if block is not None else max(1, round(rate / 10))
        if size < 1:
            raise ValueError("a block holds at least one frame")
        total = None if seconds is None else int(round(seconds * rate))
        from . import Loss
        first = 0
        try:
            while total is None or first < total:
                want = size if total is None else min(size, total - first)
                frames, losses = self._amp.read(want, timeout)
                yield Block(first, frames, [Loss(f, n) for f, n in losses])
                first += want
        finally:
            self._amp.end_stream()

    def record(self, path: Union[str, os.PathLike], seconds: float, format: str = "dat"):  # noqa: A002
        """Records ``seconds`` through the program's recording service (files, header, the
        recording's lab book, losses marked) and returns the recording opened with
        :func:`kav4.open`. ``path`` is a folder and a name, e.g. "cells/cell": the files go to a
        new folder under "cells" named after "cell", as the window's recordings do. ``format`` is
        "dat" or "abf". Ctrl+C stops it with its files closed, and raises KeyboardInterrupt."""
        if format not in ("dat", "abf"):
            raise ValueError(f"format is \"dat\" or \"abf\", not {format!r}")
        if not seconds > 0:
            raise ValueError("a recording lasts more than 0 s")
        folder, name = os.path.split(os.fspath(path))
        from . import open as open_recording
        return open_recording(self._amp.record(folder or ".", name, float(seconds), 0 if format == "dat" else 1))


def connect(ids: Union[str, Sequence[str]]) -> Amplifier:
    """Connects the amplifiers with these ids (one, or several acquired as one) and returns them;
    use it in a ``with`` block so that they are closed whatever happens. Raises
    :class:`DeviceError` with the library's message when they cannot be connected."""
    return Amplifier(ids)


def _choose(values, wanted, what: str, unit: str) -> int:
    for i, v in enumerate(values):
        if np.isclose(v, wanted, rtol=1e-9, atol=0):
            return i
    raise ValueError(f"no {what} {wanted:g}{' ' + unit if unit else ''}; choose one of: "
                     + ", ".join(f"{v:g}" for v in values))


def _index(items, which, what: str, key=None) -> int:
    if isinstance(which, bool):
        raise TypeError(f"a {what} is given by its index or as listed, not {which!r}")
    if isinstance(which, int):
        if not 0 <= which < len(items):
            raise IndexError(f"no {what} {which}; there are {len(items)}")
        return which
    for i, item in enumerate(items):
        if item == which or (key is not None and key(item) == which):
            return i
    raise ValueError(f"no {what} {which}; choose one of: " + ", ".join(str(key(i) if key else i) for i in items))
