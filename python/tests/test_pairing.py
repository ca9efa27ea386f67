"""Two workstations pairing and exchanging blocks through the module, each
side a peer.py process in a simulated workstation of its own."""

from __future__ import annotations

import hashlib
import itertools

import pytest

import peer
from conftest import HOSTNAMES, Lan, run_peers

RESPONDER_INITIATOR = {1: "responder", 2: "initiator"}


def expected(first: str, second: str, type_: int, data: bytes) -> dict[str, object]:
    return {"first": first, "second": second, "type": type_, "sha256": hashlib.sha256(data).hexdigest()}


def test_blocks_of_every_size_and_buffer_kind_arrive_whole(lan: Lan, identifier: str) -> None:
    events = run_peers(lan, "blocks", identifier, RESPONDER_INITIATOR)
    sent = [
        expected(first, second, type_, peer.pattern(length, seed))
        for seed, (first, second, type_, length, _) in enumerate(peer.BLOCKS)
    ]
    # Blocks of exact multiples of the buffer, the last one included, come
    # whole: completed by the next header, by the series' end or by the close.
    assert events[1] == [{"block": block} for block in sent] + [{"ended": True}]
    log = (lan.hosts[1] / "tmp" / "peer.log").read_text()  # the workstation's /tmp
    assert "<<put exact|three buffers|12288|7" in log
    lengths = [length for _, _, _, length, _ in peer.BLOCKS]
    assert events[2] == [
        {"progress": list(itertools.accumulate(lengths))},
        {"strided": {"error": "BufferError", "builtin": []}},
    ]


def test_over_an_open_series_both_sides_send_and_receive(lan: Lan, identifier: str) -> None:
    events = run_peers(lan, "both", identifier, RESPONDER_INITIATOR)
    timed_out = {"error": "TimedOutError", "code": 101, "name": "DYAD_TIMED_OUT", "builtin": ["TimeoutError"]}
    assert events[1] == [
        {"block": expected("ping", "question", 21, peer.pattern(500, 0))},
        {"quiet": timed_out},
        {"block": expected("done", "end of series", 20, b"done")},
        {"ended": True},
    ]
    assert events[2] == [{"block": expected("pong", "answer", 22, peer.pattern(10000, 1))}]


@pytest.mark.parametrize(
    "scenario, responder_error",
    [
        ("refuse", {"error": "RefusedError", "code": 103, "name": "DYAD_REFUSED", "builtin": []}),
        # An exception in accept refuses the name and comes out of open().
        ("refuse-raise", {"error": "Unwelcome", "builtin": []}),
    ],
)
def test_refusal_reaches_both_sides(lan: Lan, identifier: str, scenario: str, responder_error: dict[str, object]) -> None:
    events = run_peers(lan, scenario, identifier, RESPONDER_INITIATOR)
    assert events[1] == [{"asked": HOSTNAMES[1]}, {"open": responder_error}]
    assert events[2] == [{"open": {"error": "RefusedError", "code": 103, "name": "DYAD_REFUSED", "builtin": []}}]


@pytest.mark.parametrize("role", ["responder", "initiator"])
def test_open_without_a_peer_times_out(lan: Lan, identifier: str, role: str) -> None:
    events = run_peers(lan, "alone", identifier, {1: role})
    assert events[1] == [
        {"open": {"error": "TimedOutError", "code": 101, "name": "DYAD_TIMED_OUT", "builtin": ["TimeoutError"]}}
    ]


def test_after_ctrl_c_during_the_wait_for_a_connection_the_next_block_arrives(lan: Lan, identifier: str) -> None:
    events = run_peers(lan, "interrupted", identifier, RESPONDER_INITIATOR, release={"interrupted": True})
    assert events[1] == [{"interrupted": True}, {"block": expected("after", "the interrupt", 7, peer.pattern(5000, 3))}]
    assert events[2] == []
