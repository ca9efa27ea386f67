"""Whole blocks from the pieces that DyadRecvDataBlock delivers.

A block longer than the receive buffer arrives over several calls. A call that
places fewer bytes than the buffer holds has completed its block, and so has
one that reports type 20 (a type 20 block reports 20 only on its completing
call). A call that fills the buffer exactly may have completed its block or
not: nothing in its outputs tells. The next call settles it: when it goes on
with the same block it writes the length but not the names (the names are
written only when a header is read); anything else -- a new header, a time-out
while waiting for one, the peer's close -- means the library had no block in
progress, so the previous piece was the last of its block.

The caller fills the name buffers and the length output with sentinels before
each call and describes what the call wrote as a Piece; the Assembler keeps
the block being put together and a queue of what the caller is to get next:
whole blocks and errors, in the order they happened.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import NamedTuple

from ._library import BLOCK_LAST, BLOCK_MORE
from ._results import (
    CONNECTION_FAILED,
    OK,
    PEER_CLOSED,
    TIMED_OUT,
    DyadError,
    TimedOutError,
    error_for,
)


class Block(NamedTuple):
    """One whole block: its two names, its type and its bytes."""

    first: str
    second: str
    type: int
    data: bytes


@dataclass(frozen=True)
class Piece:
    """What one DyadRecvDataBlock call did."""

    result: int
    header: bool  # the call read a block header: it wrote a name
    first: str
    second: str
    length: int | None  # None: the call left the length output as it was
    type: int
    data: bytes  # the bytes placed in the buffer
    size: int  # the size of the buffer the call was given

    @property
    def continues(self) -> bool:
        """The call went on with a block in progress (no header)."""
        return self.length is not None and not self.header

    @property
    def completes(self) -> bool:
        """The call certainly brought the last byte of its block."""
        return self.length is not None and (self.length < self.size or self.type == BLOCK_LAST)

    @property
    def idle(self) -> bool:
        """The call read an empty or unknown line: it delivered nothing."""
        return self.result == OK and self.length is None and not self.header


class _Partial:
    """A block whose pieces have arrived so far."""

    def __init__(self, first: str, second: str, type_: int, *, orphan: bool = False) -> None:
        self.first = first
        self.second = second
        self.type = type_
        self.orphan = orphan  # its header was read by another process
        self.chunks: list[bytes] = []
        self.full = False  # the last piece filled its buffer: the block may be complete

    def add(self, piece: Piece) -> None:
        self.chunks.append(piece.data)
        self.full = piece.length == piece.size
        if piece.type == BLOCK_LAST:
            self.type = BLOCK_LAST  # reported by the completing call of a type 20 block


class Assembler:
    def __init__(self) -> None:
        self._partial: _Partial | None = None
        self._ready: deque[Block | DyadError] = deque()
        self._closed = False

    def pop(self) -> Block | None:
        """The next whole block, or None when a call is needed. Raises the
        errors in their turn, and PeerClosed for good once the peer has
        closed the pairing and every earlier block was taken."""
        if self._ready:
            item = self._ready.popleft()
            if isinstance(item, DyadError):
                raise item
            return item
        if self._closed:
            raise error_for(PEER_CLOSED)
        return None

    def put_back(self, item: Block | DyadError) -> None:
        """Makes what pop() gave (or raised) the next thing it gives."""
        self._ready.appendleft(item)

    def fail(self, code: int) -> None:
        """Queues an error found by the caller."""
        self._ready.append(error_for(code))

    def interrupted(self) -> None:
        """The wait of the call just taken was cut short (Ctrl-C): the
        time-out it ended with is no outcome of its own. Blocks and other
        errors stay queued, and so does a block in progress."""
        self._ready = deque(item for item in self._ready if not isinstance(item, TimedOutError))

    def take(self, piece: Piece) -> None:
        """Takes in what one call did."""
        partial = self._partial
        if piece.continues:
            if partial is None:
                # The block's header went to another process of this
                # workstation: its start is not here.
                partial = self._partial = _Partial("", "", BLOCK_MORE, orphan=True)
            partial.add(piece)
            if piece.result == OK:
                if piece.completes:
                    self._finish()
            elif piece.result == TIMED_OUT:
                # The block stays in progress and the next call resumes it;
                # the bytes of this call belong to it.
                partial.full = False
                self.fail(TIMED_OUT)
            else:
                # The library dropped the block (the connection was lost), or
                # could not acknowledge it, so its sender sends it again.
                self._partial = None
                self.fail(piece.result)
            return

        if partial is not None:
            if partial.full:
                self._finish()
            elif piece.result == TIMED_OUT and not piece.header:
                # The wait ended before the block could go on (another
                # process held the connection): it stays in progress.
                self.fail(TIMED_OUT)
                return
            else:
                self._partial = None
                self._ready.append(
                    error_for(CONNECTION_FAILED, "the connection of a block in progress was lost; the block was dropped")
                )

        if piece.header and piece.length is not None and piece.result in (OK, TIMED_OUT):
            partial = self._partial = _Partial(piece.first, piece.second, piece.type)
            partial.add(piece)
            if piece.result == OK:
                if piece.completes:
                    self._finish()
                return
            partial.full = False  # timed out in the middle: the next call resumes it
        if piece.result == PEER_CLOSED:
            self._closed = True
        elif piece.result != OK:
            self.fail(piece.result)

    def _finish(self) -> None:
        partial = self._partial
        assert partial is not None
        self._partial = None
        if partial.orphan:
            self._ready.append(DyadError(-1, "a block arrived without its header, which another process received"))
        else:
            self._ready.append(Block(partial.first, partial.second, partial.type, b"".join(partial.chunks)))
