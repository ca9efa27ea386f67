"""dyadc: pair two workstations of one local network and carry named, typed
blocks of data between them.

One side, the Responder, announces a pairing identifier; the other, the
Initiator, finds the announce that carries its own identifier, connects back
and presents its computer name for the Responder to approve. Then the
Initiator sends blocks and the Responder receives them::

    import dyadc

    # on one workstation
    with dyadc.open("LAB7", role="responder", accept=lambda name: name == "HOSTB") as link:
        for block in link.blocks(timeout=30):  # ends when the Initiator closes
            print(block.first, block.second, block.type, len(block.data))

    # on the other
    with dyadc.open("LAB7", role="initiator") as link:
        link.send(b"hello", first="greeting", second="text")

Every call blocks the calling thread, for at most its time limit (whole
seconds; None waits without limit), and cannot be interrupted in between:
Ctrl-C takes effect when the library's call returns (Link.receive() says what
becomes of what was arriving). Results other than success raise DyadError or
one of its subclasses.

The pairing belongs to the workstation: every process that uses the library
shares it, and only the last close ends it. A Link stands for one open of it.
"""

from __future__ import annotations

import ctypes
import math
import os
import signal
import threading
import time
from types import FrameType, TracebackType
from typing import TYPE_CHECKING, Callable, Iterator, Literal, Union

from . import _library
from ._library import PinnedBuffer, library
from ._receive import Assembler, Block, Piece
from ._results import (
    OK,
    RESULTS,
    TIMED_OUT,
    ConnectionFailedError,
    DyadError,
    PeerClosed,
    RefusedError,
    TimedOutError,
    UpdateTransferred,
    error_for,
    result_name,
)

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = [
    "DEFAULT_BUFFER_SIZE",
    "RESULTS",
    "Block",
    "ConnectionFailedError",
    "DyadError",
    "Link",
    "PeerClosed",
    "RefusedError",
    "Role",
    "TimedOutError",
    "UpdateTransferred",
    "open",
    "result_name",
    "set_log",
]

# One byte more than a power of two: blocks of the usual power-of-two sizes
# (such as the 1 MiB pieces of `dyad send`) then never fill the buffer exactly,
# and each is returned as soon as its last byte has arrived (see receive()).
DEFAULT_BUFFER_SIZE = (1 << 20) + 1

Role = Literal["initiator", "responder"]
_MODES = {"initiator": 1, "responder": 2}
_LINE_LIMIT = 257  # the longest line the peer reads, without CR LF
_UNSET = -(2**31)  # what an output holds when the call did not write it
_INT32 = range(-(2**31), 2**31)
_UINT32_MAX = 2**32 - 1


# --- Arguments ----------------------------------------------------------------


def _text(value: Union[str, bytes], what: str) -> bytes:
    """Text as the library's 8-bit strings: str as UTF-8 (undecodable bytes
    that came from the library travel back unchanged)."""
    if isinstance(value, str):
        data = value.encode("utf-8", "surrogateescape")
    elif isinstance(value, bytes):
        data = value
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{what} must not contain NUL")
    return data


def _decode(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def _seconds(timeout: float | None) -> int:
    """A time limit in the library's whole seconds; None is no limit (0)."""
    if timeout is None:
        return 0
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds or None")
    if not timeout > 0:
        raise ValueError("timeout must be above 0 (None waits without limit)")
    seconds = math.ceil(timeout)
    if seconds > _UINT32_MAX:
        raise ValueError("timeout is too long")
    return seconds


def _block_name(value: Union[str, bytes], what: str) -> bytes:
    name = _text(value, what)
    if not name or any(c in name for c in b"|\r\n"):
        raise ValueError(f"{what} must not be empty nor contain '|', CR or LF")
    return name


# --- Pairing ------------------------------------------------------------------


class _Process:
    """What the Links of this process share: the library's block in progress
    belongs to the workstation's pairing, not to one Link."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.links = 0
        self.receiver = _Receiver()


class _HeldInterrupt:
    """Holds back SIGINT's Python handler (Ctrl-C: KeyboardInterrupt) while
    what DyadRecvDataBlock returned is on its way into the Assembler or out
    to the caller.

    A SIGINT that arrives while the library call waits is raised by Python as
    soon as the call returns, before its result is even stored: the piece it
    delivered, which the library has already confirmed to the sender, would
    be dropped. Within this context the handler only records the signal;
    deliver() runs the handler for it where nothing is in hand, and leaving
    the context puts the handler back and runs it for one recorded since.
    Only the main thread runs Python handlers (elsewhere nothing is held),
    and only a handler set from Python raises anything.
    """

    def __init__(self) -> None:
        self._handler: Callable[[int, FrameType | None], object] | None = None
        self._arrived = False
        self._frame: FrameType | None = None

    def __enter__(self) -> _HeldInterrupt:
        handler = signal.getsignal(signal.SIGINT)
        if callable(handler):
            try:
                signal.signal(signal.SIGINT, self._record)
            except ValueError:  # not the main thread: no handler runs here
                return self
            self._handler = handler
        return self

    def _record(self, signum: int, frame: FrameType | None) -> None:
        self._arrived, self._frame = True, frame

    @property
    def arrived(self) -> bool:
        """A SIGINT arrived that deliver() has not handled yet."""
        return self._arrived and self._handler is not None

    def deliver(self) -> None:
        """Runs SIGINT's handler (KeyboardInterrupt as a rule) for a signal
        that arrived meanwhile."""
        if self.arrived:
            self._arrived = False
            self._handler(signal.SIGINT, self._frame)

    def __exit__(self, *exc: object) -> None:
        if self._handler is not None:
            # signal.signal() first runs the handler in place (_record) for
            # signals still pending, so none slips past deliver().
            signal.signal(signal.SIGINT, self._handler)
            self.deliver()


class _Receiver:
    """Calls DyadRecvDataBlock and hands its pieces to an Assembler.

    The buffer of a call follows the block at hand, not the largest size the
    caller allows: the block's length is known only inside the library, and
    the library clears every byte of the buffer after those it received, so
    a buffer far larger than the block would cost its size in memory and in
    clearing on every call. A block's first call gets DEFAULT_BUFFER_SIZE
    (or less when the caller allows less); each call whose piece fills its
    buffer, so that more of the block may follow, is followed by one with
    twice the room, up to the caller's size. The buffer is thus never much
    more than twice the block, and one larger than DEFAULT_BUFFER_SIZE is
    let go once its block is complete.
    """

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.assembler = Assembler()
        self._first = ctypes.create_string_buffer(_library.NAME_BUFFER_SIZE)
        self._second = ctypes.create_string_buffer(_library.NAME_BUFFER_SIZE)
        self._length = ctypes.c_int32()
        self._type = ctypes.c_int32()
        self._buffer: ctypes.Array[ctypes.c_char] | None = None
        self._room = DEFAULT_BUFFER_SIZE  # the next call's buffer, before the caller's limit

    def reset(self) -> None:
        with self.lock:
            self.assembler = Assembler()

    def receive(self, seconds: int, limit: int) -> Block:
        with self.lock:
            item: Block | DyadError | None = None
            try:
                with _HeldInterrupt() as interrupt:
                    item = self._next(seconds, limit, interrupt)
            except BaseException:
                if item is not None:
                    # The interrupt came as the item was handed out: it
                    # waits for the next call.
                    self.assembler.put_back(item)
                raise
            if isinstance(item, DyadError):
                raise item
            return item

    def _next(self, seconds: int, limit: int, interrupt: _HeldInterrupt) -> Block | DyadError:
        began = time.monotonic()
        while True:
            try:
                block = self.assembler.pop()
            except DyadError as error:
                return error
            if block is not None:
                return block
            piece = self._call(seconds, limit)
            self.assembler.take(piece)
            # Each call that reads a line starts its own time limit: a peer
            # that sends only empty or unknown lines must not keep this call
            # from ending.
            if piece.idle and seconds and time.monotonic() - began > seconds:
                self.assembler.fail(TIMED_OUT)
            # What the call delivered is kept: a Ctrl-C during it takes
            # effect now, not only once a whole block is there. It ends the
            # wait in place of the time-out that the call may have ended
            # with, which would otherwise be raised by the next receive()
            # at once, leaving nobody to take the peer's next block.
            if interrupt.arrived:
                self.assembler.interrupted()
            interrupt.deliver()

    def _call(self, seconds: int, limit: int) -> Piece:
        size = min(self._room, limit)
        if self._buffer is None or len(self._buffer) != size:
            self._buffer = None  # let the old one go before making the new one
            self._buffer = (ctypes.c_char * size)()
        # The names are written only when a header is read, the length only
        # when bytes (or a header's length) arrive: sentinels show which.
        ctypes.memset(self._first, 0xFF, _library.NAME_BUFFER_SIZE)
        ctypes.memset(self._second, 0xFF, _library.NAME_BUFFER_SIZE)
        self._length.value = _UNSET
        # The type output also decides, when the call delivers no block,
        # whether a connection that the call itself accepted stays open: a
        # value of no series type closes it, as after a single block.
        self._type.value = _UNSET
        result = library().DyadRecvDataBlock(
            self._first,
            self._second,
            seconds,
            self._buffer,
            size,
            ctypes.byref(self._length),
            ctypes.byref(self._type),
            _NO_PROGRESS,
        )
        first, second = self._first.raw, self._second.raw
        header = b"\0" in first or b"\0" in second
        length: int | None = self._length.value
        if length == _UNSET:
            length = None
        data = b""
        if length is not None and 0 < length <= size and result != -1:
            data = ctypes.string_at(self._buffer, length)
        if length == size:
            self._room = min(2 * size, limit)  # more of the block may follow
        else:
            self._room = DEFAULT_BUFFER_SIZE
            if size > DEFAULT_BUFFER_SIZE:
                self._buffer = None
        return Piece(
            result=result,
            header=header,
            first=_decode(first.split(b"\0", 1)[0]) if b"\0" in first else "",
            second=_decode(second.split(b"\0", 1)[0]) if b"\0" in second else "",
            length=length,
            type=self._type.value,
            data=data,
            size=size,
        )


_process = _Process()
# Null function pointers.
_NO_PROGRESS = _library.ProgressCallback(0)
_NO_VERIFY = _library.VerifyCallback(0)


def open(
    identifier: str,
    role: Role,
    accept: Callable[[str], object] | None = None,
    timeout: float | None = 30,
    mask: str | None = None,
) -> Link:
    """Pairs this workstation with a peer and returns the Link; closing the
    Link (or leaving its ``with`` block) undoes the open.

    ``identifier`` (1 to 63 bytes as UTF-8) is the shared name of the pairing.
    ``role`` "responder" announces it and waits for an Initiator; "initiator"
    waits for the Responder that announces it and connects back.

    ``accept`` (Responder only) gets the Initiator's computer name and returns
    a true value to accept it. None accepts any name: then every computer of
    the network that knows the identifier can pair, so give ``accept`` where
    that matters. An exception raised by ``accept`` refuses the name and is
    raised again by open().

    ``timeout`` bounds the wait for the peer in seconds (rounded up to whole
    seconds; None: no limit). ``mask`` restricts the pairing to interfaces
    whose address begins with the prefix it gives ("192.168.0.0" selects
    192.168.*).

    When this workstation is already paired (by this or another process), the
    call returns at once and shares that pairing: identifier, role, accept and
    mask are not looked at.

    Raises RefusedError (on both sides when the Responder refused the name),
    TimedOutError, ConnectionFailedError, UpdateTransferred (a newer library
    travelled: open again) or DyadError.
    """
    if role not in _MODES:
        raise ValueError('role must be "initiator" or "responder"')
    mode = _MODES[role]
    if accept is not None and role == "initiator":
        raise ValueError("accept applies to the responder only")
    name = _text(identifier, "identifier")
    if not 0 < len(name) <= _library.IDENTIFIER_MAX:
        raise ValueError(f"identifier must have 1 to {_library.IDENTIFIER_MAX} bytes")
    seconds = _seconds(timeout)
    mask_text = None if mask is None else _text(mask, "mask")
    lib = library()

    def on_identifier(buffer: int) -> int:
        ctypes.memmove(buffer, name + b"\0", len(name) + 1)
        return 0

    raised: list[BaseException] = []

    def on_verify(computer: bytes) -> int:
        if accept is None:
            return 0
        try:
            return 0 if accept(_decode(computer)) else 1
        except BaseException as error:  # refuse, and raise it from open()
            raised.append(error)
            return 1

    identifier_callback = _library.IdentifierCallback(on_identifier)
    verify_callback = _library.VerifyCallback(on_verify) if role == "responder" else _NO_VERIFY
    if mask_text is None:
        result = lib.DyadOpen(identifier_callback, verify_callback, seconds, mode)
    else:
        result = lib.DyadOpenXOver(identifier_callback, verify_callback, seconds, mode, mask_text)
    if result == OK:
        with _process.lock:
            if _process.links == 0:
                _process.receiver.reset()  # nothing of an earlier pairing
            _process.links += 1
    if raised:
        raise raised[0]
    if result != OK:
        raise error_for(result)
    return Link(role)


def set_log(path: str | os.PathLike[str] | None, size_limit: int, level: int) -> None:
    """Sets this process's diagnostic log: ``path`` (None keeps the current
    one), ``size_limit`` in bytes (the file is cut back to about its newest
    ``size_limit`` bytes when the process ends), ``level`` 0 off, 1 basic
    messages, 2 every message including each line sent and received.
    Has no effect when the environment variable DYADDEBUG forced the log on.
    """
    encoded = None
    if path is not None:
        encoded = os.fsencode(path)
        if b"\0" in encoded or not 0 < len(encoded) <= 499:
            raise ValueError("path must have 1 to 499 bytes and no NUL")
    if not 0 <= size_limit <= _UINT32_MAX:
        raise ValueError("size_limit must fit 32 bits")
    if level not in (0, 1, 2):
        raise ValueError("level must be 0, 1 or 2")
    library().DyadSetLog(encoded, size_limit, level)


# --- Link ---------------------------------------------------------------------


class Link:
    """One open of the workstation's pairing; made by open()."""

    def __init__(self, role: Role) -> None:
        self.role: Role = role
        self._open = True
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        return f"<dyadc.Link {self.role} {'open' if self._open else 'closed'}>"

    def __enter__(self) -> Link:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return not self._open

    def close(self) -> None:
        """Undoes the open (once; later calls do nothing). The last close of
        the workstation's pairing ends it; on the Initiator it first tells the
        Responder, whose blocks() then ends (this may take up to about 4
        seconds when the Responder does not listen)."""
        with self._lock:
            if not self._open:
                return
            self._open = False
        with _process.lock:
            library().DyadClose()
            _process.links -= 1

    def _check_open(self) -> None:
        if not self._open:
            raise ValueError("the link is closed")

    def send(
        self,
        data: ReadableBuffer,
        first: str | bytes,
        second: str | bytes,
        type: int = 7,
        timeout: float | None = 30,
        progress: Callable[[int], object] | None = None,
    ) -> None:
        """Sends one block and returns when the peer has confirmed every byte.

        ``data`` is any object with one contiguous run of bytes (bytes,
        bytearray, memoryview, array, mmap, ...); its memory is read in place
        and held (a bytearray cannot be resized meanwhile). ``first`` and
        ``second`` name the block: not empty, without '|', CR or LF, and short
        enough for the header line (up to about 200 bytes each). ``type`` 21
        and 22 keep the connection open for the next block of a series, 20
        ends the series; any other value is a single block.

        ``progress`` is called with the running total of bytes that this
        workstation sent and received since the pairing was made, once the
        bytes have left; an exception from it is raised after the call.

        The Initiator sends; over an open connection (during a series the
        Initiator began) the Responder can send as well.

        Raises TimedOutError or ConnectionFailedError: send the block again
        when it is wanted.
        """
        self._check_open()
        first_name = _block_name(first, "first")
        second_name = _block_name(second, "second")
        if type not in _INT32:
            raise ValueError("type must fit 32 bits")
        seconds = _seconds(timeout)
        raised: list[BaseException] = []

        def on_progress(total: float) -> None:
            if progress is None:
                return
            try:
                progress(int(total))
            except BaseException as error:  # raise it once the call is over
                raised.append(error)

        progress_callback = _NO_PROGRESS if progress is None else _library.ProgressCallback(on_progress)
        with PinnedBuffer(data) as pinned:
            length = pinned.length
            if length > _UINT32_MAX:
                raise ValueError("a block holds at most 4 GiB - 1 bytes")
            wire_length = length - 2**32 if length >= 2**31 else length  # as the header carries it
            header = b"put %s|%s|%d|%d" % (first_name, second_name, wire_length, type)
            if len(header) > _LINE_LIMIT:
                raise ValueError("first and second are too long for one header line")
            result = library().DyadSendDataBlock(
                first_name, second_name, seconds, pinned.address, length, type, progress_callback
            )
        if result != OK:
            raise error_for(result) from (raised[0] if raised else None)
        if raised:
            raise raised[0]

    def receive(self, timeout: float | None = 30, buffer_size: int = DEFAULT_BUFFER_SIZE) -> Block:
        """Returns the next whole block, however many pieces it takes.

        ``timeout`` bounds the wait for a block to begin (None: no limit);
        once it has begun, a stall of its bytes ends the call when more than
        ``timeout`` seconds have passed since then. ``buffer_size`` is the
        most the library delivers per call; it bounds the memory used beyond
        the block itself. The buffer follows the block, not ``buffer_size``:
        each block's first call gets at most DEFAULT_BUFFER_SIZE bytes, and
        each piece that fills its buffer is followed by a call with twice
        the room, up to ``buffer_size`` (so a large ``buffer_size`` costs
        nothing for small blocks).

        A block whose last piece fills its buffer exactly cannot be told
        complete by that piece: it is returned only when the next block
        begins, the wait for it ends or the peer closes. With the default
        size (one byte above 1 MiB) or less these are the blocks whose length
        is an exact multiple of ``buffer_size``; the default makes them rare.
        The time-out or close that completes such a block is raised by the
        next call.

        Ctrl-C (KeyboardInterrupt) takes effect as soon as the library's call
        under way returns: once something arrives (at most ``buffer_size``
        bytes of a block per call) or its time limit ends, not only once a
        whole block is there. Nothing that arrived is lost: what that call
        delivered is kept, and the next call hands it out or goes on with its
        block. The interrupt stands in for the time-out that the call may
        have ended with: the next call waits afresh. (A SIGINT handler of the
        program's own runs at that moment.)

        Raises PeerClosed once the Initiator has closed the pairing,
        TimedOutError (a block in progress is kept: the next call resumes
        it), ConnectionFailedError (a block in progress is lost) or DyadError.
        """
        self._check_open()
        seconds = _seconds(timeout)
        if isinstance(buffer_size, bool) or not isinstance(buffer_size, int):
            raise TypeError("buffer_size must be an int")
        if not 0 < buffer_size < 2**31:
            raise ValueError("buffer_size must be 1 to 2**31 - 1 bytes")
        return _process.receiver.receive(seconds, buffer_size)

    def blocks(self, timeout: float | None = 30, buffer_size: int = DEFAULT_BUFFER_SIZE) -> Iterator[Block]:
        """Yields blocks as receive() returns them, until the peer closes the
        pairing; other errors are raised."""
        while True:
            try:
                block = self.receive(timeout, buffer_size)
            except PeerClosed:
                return
            yield block
