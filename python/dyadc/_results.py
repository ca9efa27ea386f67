"""Result codes of libdyadc and the exceptions that carry them.

RESULTS is the module's one table of the library's results, in the order of
the header's DYAD_RESULT_MAP list; a test compares the two.
"""

from __future__ import annotations

# (enumerator name, value, meaning), as DYAD_RESULT_MAP in include/dyadc.h.
RESULTS: tuple[tuple[str, int, str], ...] = (
    ("DYAD_OK", 0, "success"),
    ("DYAD_SOCKET_FAILED", 1, "a local network socket could not be set up"),
    ("DYAD_PEER_CLOSED", 23, "the peer closed the pairing"),
    ("DYAD_UPDATED", 24, "the library update was transferred"),
    ("DYAD_CONNECTION_FAILED", 100, "a connection step failed"),
    ("DYAD_TIMED_OUT", 101, "the peer did not answer in time"),
    ("DYAD_UPDATE_FAILED", 102, "this computer's newer library could not be sent to the peer"),
    ("DYAD_REFUSED", 103, "the computer name was refused"),
    ("DYAD_BAD_MASK", 104, "the address mask is not usable"),
    ("DYAD_OTHER_IDENTIFIER", 999, "the peer announced another identifier"),
    ("DYAD_INVALID", -1, "an argument was refused, or an incomplete block header arrived"),
)

_BY_VALUE: dict[int, tuple[str, str]] = {value: (name, meaning) for name, value, meaning in RESULTS}

OK = 0
PEER_CLOSED = 23
UPDATED = 24
CONNECTION_FAILED = 100
TIMED_OUT = 101
REFUSED = 103

# DyadRecvDataBlock passes on the socket error of its final acknowledgement;
# those numbers start here.
SOCKET_ERROR_BASE = 10000


def result_name(code: int) -> str:
    """The enumerator name of a result ("DYAD_TIMED_OUT"), or a description
    of a code outside the list ("socket error 10054", "result 7")."""
    known = _BY_VALUE.get(code)
    if known is not None:
        return known[0]
    if code >= SOCKET_ERROR_BASE:
        return f"socket error {code}"
    return f"result {code}"


def result_meaning(code: int) -> str:
    known = _BY_VALUE.get(code)
    if known is not None:
        return known[1]
    if code >= SOCKET_ERROR_BASE:
        return "a socket operation failed"
    return "an unknown result"


class DyadError(Exception):
    """A libdyadc call ended with a result other than success.

    ``code`` is the library's result, ``name`` its enumerator name
    ("DYAD_TIMED_OUT"), or "socket error N" for a socket error.
    """

    code: int
    name: str

    def __init__(self, code: int, message: str | None = None) -> None:
        self.code = code
        self.name = result_name(code)
        text = message if message is not None else result_meaning(code)
        super().__init__(f"{self.name} ({code}): {text}")


class ConnectionFailedError(DyadError, ConnectionError):
    """100: a connection step failed, or the peer closed or reset the
    connection."""


class TimedOutError(DyadError, TimeoutError):
    """101: the time limit passed before the peer answered."""


class RefusedError(DyadError):
    """103: the Responder's host refused the Initiator's computer name; both
    sides are unpaired again."""


class UpdateTransferred(DyadError):
    """24: a newer library travelled during the pairing. On the Responder it
    is stored as ``dyadc.dl_`` in the system directory; open again to pair."""


class PeerClosed(DyadError):
    """23: the Initiator closed the pairing; no more blocks follow."""


_CLASSES: dict[int, type[DyadError]] = {
    CONNECTION_FAILED: ConnectionFailedError,
    TIMED_OUT: TimedOutError,
    REFUSED: RefusedError,
    UPDATED: UpdateTransferred,
    PEER_CLOSED: PeerClosed,
}


def error_for(code: int, message: str | None = None) -> DyadError:
    """The exception for a result other than success."""
    return _CLASSES.get(code, DyadError)(code, message)


def check(code: int) -> None:
    """Raises the exception for `code` unless it is success."""
    if code != OK:
        raise error_for(code)
