"""Whole blocks from scripted DyadRecvDataBlock pieces: what each call wrote
(names, length, type, bytes) and returned, as the library does it, into a
buffer of 4 bytes; and receive() over such calls when Ctrl-C comes."""

from __future__ import annotations

import ctypes
import signal
from typing import Any, Optional, Union

import pytest

import dyadc
from dyadc import Block, DyadError, PeerClosed
from dyadc._receive import Assembler, Piece

SIZE = 4


def header(first: str, type_: int, data: bytes, result: int = 0) -> Piece:
    """A call that read a header (and bytes of its block)."""
    return Piece(result, True, first, "b", len(data), type_, data, SIZE)


def more(data: bytes, type_: int = 22, result: int = 0) -> Piece:
    """A call that went on with the block in progress."""
    return Piece(result, False, "", "", len(data), type_, data, SIZE)


def bare(result: int) -> Piece:
    """A call that wrote neither names nor length."""
    return Piece(result, False, "", "", None, -(2**31), b"", SIZE)


def drive(pieces: list[Piece]) -> list[object]:
    """receive() over and over until the pieces run out: the blocks and the
    names of the errors, in order."""
    assembler, feed = Assembler(), iter(pieces)
    seen: list[object] = []
    while True:
        try:
            block = assembler.pop()
        except PeerClosed as error:
            with pytest.raises(PeerClosed):
                assembler.pop()  # for good
            return seen + [error.name]
        except DyadError as error:
            seen.append(error.name)
            continue
        if block is not None:
            seen.append(block)
            continue
        piece = next(feed, None)
        if piece is None:
            return seen
        assembler.take(piece)


A = Block("a", "b", 7, b"abcdefgh")
X = Block("x", "b", 7, b"xy")

CASES = {
    "short piece completes": ([header("x", 7, b"xy")], [X]),
    "empty block": ([bare(0), header("e", 7, b"")], [Block("e", "b", 7, b"")]),
    "exact block ends at the next header": (
        [header("a", 7, b"abcd"), more(b"efgh"), header("x", 7, b"xy")],
        [A, X],
    ),
    "next header's bytes start the next block": (
        [header("a", 7, b"abcd"), header("x", 7, b"wxyz"), more(b"1")],
        [Block("a", "b", 7, b"abcd"), Block("x", "b", 7, b"wxyz1")],
    ),
    "exact block ends at the close": ([header("a", 7, b"abcd"), more(b"efgh"), bare(23)], [A, "DYAD_PEER_CLOSED"]),
    "exact block ends at a time-out, raised after it": (
        [header("a", 7, b"abcd"), more(b"efgh"), bare(101), header("x", 7, b"xy")],
        [A, "DYAD_TIMED_OUT", X],
    ),
    "type 20 completes an exact piece": (
        [header("s", 22, b"abcd"), more(b"efgh", type_=20)],
        [Block("s", "b", 20, b"abcdefgh")],
    ),
    "time-out mid-block keeps its bytes": (
        [header("a", 7, b"abcd"), more(b"ef", result=101), more(b"gh")],
        ["DYAD_TIMED_OUT", A],
    ),
    "time-out while reading a block's first bytes keeps them": (
        [header("a", 7, b"ab", result=101), more(b"cdef"), more(b"gh")],
        ["DYAD_TIMED_OUT", A],
    ),
    "lost connection drops the block": (
        [header("a", 7, b"abcd"), more(b"e", result=100), header("x", 7, b"xy")],
        ["DYAD_CONNECTION_FAILED", X],
    ),
    "failure after a block of pieces comes after the block": (
        [header("a", 7, b"abcd"), more(b"efg"), bare(100), header("x", 7, b"xy")],
        [Block("a", "b", 7, b"abcdefg"), "DYAD_CONNECTION_FAILED", X],
    ),
    "failure after an exact block of pieces comes after the block": (
        [header("a", 7, b"abcd"), more(b"efgh"), bare(100), header("x", 7, b"xy")],
        [A, "DYAD_CONNECTION_FAILED", X],
    ),
    "connection lost after a series block is": (
        [header("s", 21, b"abcd"), more(b"ef"), bare(100)],
        [Block("s", "b", 21, b"abcdef"), "DYAD_CONNECTION_FAILED"],
    ),
    "unacknowledged block is dropped": (
        [header("a", 7, b"abcd"), more(b"e", result=10054), header("x", 7, b"xy", result=10054)],
        ["socket error 10054", "socket error 10054"],
    ),
    "incomplete header": ([Piece(-1, True, "a", "b", 5, -(2**31), b"", SIZE)], ["DYAD_INVALID"]),
    "piece of a block whose header went elsewhere": ([more(b"ab")], ["DYAD_INVALID"]),
}


@pytest.mark.parametrize("pieces, outcome", CASES.values(), ids=CASES.keys())
def test_pieces_make_whole_blocks(pieces: list[Piece], outcome: list[object]) -> None:
    assert drive(pieces) == outcome


# What one scripted DyadRecvDataBlock call does: the names it writes (None:
# none), its bytes (None: it writes no length or type), the type, whether
# SIGINT arrives during it, and optionally its result (0 when left out).
ScriptedCall = Union[
    tuple[Optional[str], Optional[bytes], int, bool], tuple[Optional[str], Optional[bytes], int, bool, int]
]


class ScriptedLibrary:
    """Stands in for libdyadc: open and close succeed, and each
    DyadRecvDataBlock call does the next of `calls`; `sizes` records the
    buffer size of each call."""

    def __init__(self, calls: list[ScriptedCall]) -> None:
        self.calls = calls
        self.sizes: list[int] = []

    def DyadOpen(self, *arguments: object) -> int:
        return 0

    def DyadClose(self) -> int:
        return 0

    def DyadRecvDataBlock(self, first: Any, second: Any, seconds: int, buffer: Any, size: int, *outputs: Any) -> int:
        name, data, type_, interrupted, *result = self.calls.pop(0)
        self.sizes.append(size)
        if name is not None:
            first.value, second.value = name.encode(), b"b"
        if data is not None:
            ctypes.memmove(buffer, data, len(data))
            outputs[0]._obj.value, outputs[1]._obj.value = len(data), type_  # through byref()
        if interrupted:
            signal.raise_signal(signal.SIGINT)  # Python raises it as the call returns
        return result[0] if result else 0


INTERRUPTED = {
    "during a call that brings a whole block": ([("x", b"xy", 7, True)], 0, [X]),
    "between the pieces of a block": (
        [("a", b"abcd", 7, True), (None, b"efg", 7, False)],
        1,
        [Block("a", "b", 7, b"abcdefg")],
    ),
    "during a call that completes the block before it": (
        [("a", b"abcd", 7, False), (None, b"efgh", 7, False), ("x", b"xy", 7, True)],
        0,
        [A, X],
    ),
    # The interrupt, not the time-out of the wait it cut short, is the outcome:
    # the next receive() waits for the next block instead of raising it.
    "during a wait for a block that ends at its limit": ([(None, None, 0, True, 101), ("x", b"xy", 7, False)], 1, [X]),
    "during a wait in the middle of a block": (
        [("a", b"abcd", 7, False), (None, b"ef", 22, True, 101), (None, b"gh", 22, False)],
        1,
        [A],
    ),
}


@pytest.mark.parametrize("calls, left, outcome", INTERRUPTED.values(), ids=INTERRUPTED.keys())
def test_ctrl_c_during_receive_keeps_what_arrived(
    monkeypatch: pytest.MonkeyPatch, calls: list[ScriptedCall], left: int, outcome: list[Block]
) -> None:
    library = ScriptedLibrary(calls)
    monkeypatch.setattr(dyadc, "library", lambda: library)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)  # as an interactive Python has it
    try:
        with dyadc.open("id", role="responder") as link:
            with pytest.raises(KeyboardInterrupt):
                link.receive(buffer_size=SIZE)
            assert len(library.calls) == left  # raised as soon as the interrupted call returned
            assert [link.receive(buffer_size=SIZE) for _ in outcome] == outcome
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGINT, previous)


F = dyadc.DEFAULT_BUFFER_SIZE
# buffer_size: the buffer of each call. A block's first piece gets
# DEFAULT_BUFFER_SIZE whatever buffer_size allows; each piece that fills its
# buffer (more may follow) gets twice the room up to buffer_size; the next
# block starts small again.
GROWTH = {"2 GiB allowed": (2**31 - 1, [F, 2 * F, 4 * F, F]), "capped": (3 * F, [F, 2 * F, 3 * F, F])}


@pytest.mark.parametrize("buffer_size, sizes", GROWTH.values(), ids=GROWTH.keys())
def test_buffer_follows_the_block_not_buffer_size(monkeypatch: pytest.MonkeyPatch, buffer_size: int, sizes: list[int]) -> None:
    library = ScriptedLibrary(
        [("a", bytes(F), 7, False), (None, bytes(2 * F), 22, False), (None, b"end", 22, False), ("x", b"xy", 7, False)]
    )
    monkeypatch.setattr(dyadc, "library", lambda: library)
    with dyadc.open("id", role="responder") as link:
        assert link.receive(buffer_size=buffer_size) == Block("a", "b", 7, bytes(3 * F) + b"end")
        assert link.receive(buffer_size=buffer_size) == X
    assert library.sizes == sizes
