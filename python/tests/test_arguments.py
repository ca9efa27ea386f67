"""Arguments that the module refuses before anything reaches the library:
those the library would cut, split differently or misread."""

from __future__ import annotations

import types
from typing import Any, Callable

import pytest

import dyadc


@pytest.fixture(autouse=True)
def no_library(monkeypatch: pytest.MonkeyPatch) -> None:
    # Only DyadClose is there: any other call would fail the test.
    fake = types.SimpleNamespace(DyadClose=lambda: 0)
    monkeypatch.setattr(dyadc, "library", lambda: fake)


def link() -> dyadc.Link:
    return dyadc.Link("initiator")


def closed_link() -> dyadc.Link:
    closed = link()
    closed.close()
    return closed


CASES: dict[str, tuple[Callable[[], Any], type[Exception]]] = {
    "empty identifier": (lambda: dyadc.open("", role="responder"), ValueError),
    "identifier longer than 63 bytes": (lambda: dyadc.open("é" * 32, role="responder"), ValueError),
    "identifier with NUL": (lambda: dyadc.open("a\0b", role="responder"), ValueError),
    "unknown role": (lambda: dyadc.open("id", role="server"), ValueError),  # type: ignore[arg-type]
    "accept on the initiator": (lambda: dyadc.open("id", role="initiator", accept=bool), ValueError),
    "time limit 0": (lambda: dyadc.open("id", role="responder", timeout=0), ValueError),
    "mask with NUL": (lambda: dyadc.open("id", role="responder", mask="10.\0"), ValueError),
    "name with |": (lambda: link().send(b"x", "a|b", "c"), ValueError),
    "name with CR": (lambda: link().send(b"x", "a", "c\r"), ValueError),
    "name with NUL": (lambda: link().send(b"x", "a\0", "c"), ValueError),
    "empty name": (lambda: link().send(b"x", "", "c"), ValueError),
    "names too long for one header": (lambda: link().send(b"x", "a" * 130, "b" * 130), ValueError),
    "type beyond 32 bits": (lambda: link().send(b"x", "a", "b", type=2**31), ValueError),
    "text as data": (lambda: link().send("text", "a", "b"), TypeError),  # type: ignore[arg-type]
    "strided data": (lambda: link().send(memoryview(b"abcd")[::2], "a", "b"), BufferError),
    "empty receive buffer": (lambda: link().receive(buffer_size=0), ValueError),
    "send on a closed link": (lambda: closed_link().send(b"x", "a", "b"), ValueError),
    "log path too long": (lambda: dyadc.set_log("x" * 500, 1000, 1), ValueError),
    "log level 3": (lambda: dyadc.set_log(None, 1000, 3), ValueError),
}


@pytest.mark.parametrize("call, error", CASES.values(), ids=CASES.keys())
def test_refused_before_the_library(call: Callable[[], Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        call()
