"""The module's result table and constants against include/dyadc.h, and the
exceptions made from results. Nothing here loads the library."""

from __future__ import annotations

import re

import pytest

import dyadc
from conftest import SOURCE
from dyadc import _library

HEADER = (SOURCE / "include" / "dyadc.h").read_text()


def header_results() -> list[tuple[str, int, str]]:
    listing = re.search(r"#define DYAD_RESULT_MAP\(XX\)((?:.*\\\n)*.*\n)", HEADER)
    assert listing, "DYAD_RESULT_MAP not found"
    entries = re.findall(r'XX\((\w+),\s*(-?\d+),\s*"((?:[^"\\]|\\.)*)"\)', listing.group(1))
    return [("DYAD_" + name, int(value), meaning.replace('\\"', '"')) for name, value, meaning in entries]


def header_define(name: str) -> int:
    found = re.search(rf"^#define {name} (-?\d+)", HEADER, re.MULTILINE)
    assert found, name
    return int(found.group(1))


def test_result_table_is_the_headers_list() -> None:
    assert len(header_results()) > 10
    assert list(dyadc.RESULTS) == header_results()


@pytest.mark.parametrize(
    "constant, define",
    [
        (_library.VERSION_MAJOR, "DYAD_VERSION_MAJOR"),
        (_library.NAME_BUFFER_SIZE, "DYAD_NAME_BUFFER_SIZE"),
        (_library.IDENTIFIER_BUFFER_SIZE, "DYAD_IDENTIFIER_BUFFER_SIZE"),
        (_library.IDENTIFIER_MAX, "DYAD_IDENTIFIER_MAX"),
        (_library.BLOCK_LAST, "DYAD_BLOCK_LAST"),
        (_library.BLOCK_FIRST, "DYAD_BLOCK_FIRST"),
        (_library.BLOCK_MORE, "DYAD_BLOCK_MORE"),
    ],
)
def test_constants_are_the_headers(constant: int, define: str) -> None:
    assert constant == header_define(define)


@pytest.mark.parametrize(
    "code, kind, builtin, name",
    [
        (101, dyadc.TimedOutError, TimeoutError, "DYAD_TIMED_OUT"),
        (100, dyadc.ConnectionFailedError, ConnectionError, "DYAD_CONNECTION_FAILED"),
        (103, dyadc.RefusedError, None, "DYAD_REFUSED"),
        (24, dyadc.UpdateTransferred, None, "DYAD_UPDATED"),
        (23, dyadc.PeerClosed, None, "DYAD_PEER_CLOSED"),
        (104, dyadc.DyadError, None, "DYAD_BAD_MASK"),
        (-1, dyadc.DyadError, None, "DYAD_INVALID"),
        (10054, dyadc.DyadError, None, "socket error 10054"),
        (7, dyadc.DyadError, None, "result 7"),
    ],
)
def test_errors_carry_code_name_and_class(code: int, kind: type, builtin: type | None, name: str) -> None:
    error = dyadc._results.error_for(code)
    assert type(error) is kind
    assert (error.code, error.name) == (code, name)
    assert name in str(error)
    if builtin is not None:
        assert isinstance(error, builtin)
    assert not isinstance(error, (TimeoutError, ConnectionError)) or builtin is not None
