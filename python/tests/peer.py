"""A host program for the tests, run inside a simulated workstation:

    peer.py SCENARIO ROLE IDENTIFIER [PEER_NAME]

It plays one side of SCENARIO through the dyadc module and prints one JSON
object per line for what happened. PEER_NAME is the computer name that a
Responder accepts.
"""

from __future__ import annotations

import array
import hashlib
import json
import mmap
import os
import signal
import sys
import threading
import time
from typing import Any, Callable, cast

import dyadc

RECEIVE_BUFFER = 4096

# The blocks that the Initiator of "blocks" sends, in order:
# (first, second, type, length, kind of buffer object).
BLOCKS = [
    ("empty", "zero", 7, 0, "bytes"),
    ("small", "bytearray", 7, 100, "bytearray"),
    ("exact", "three buffers", 7, 3 * RECEIVE_BUFFER, "memoryview"),
    ("large", "array", 9, 5 * RECEIVE_BUFFER + 124, "array"),
    ("mapped", "two buffers", 7, 2 * RECEIVE_BUFFER, "mmap"),
    ("series", "first", 21, RECEIVE_BUFFER + 1, "readonly"),
    ("series", "more", 22, RECEIVE_BUFFER, "bytes"),
    ("series", "last", 20, 2 * RECEIVE_BUFFER, "bytes"),
    ("tail", "ends at the close", 7, RECEIVE_BUFFER, "bytes"),
]


def pattern(length: int, seed: int) -> bytes:
    return bytes((i * 131 + seed * 7 + (i >> 8)) & 0xFF for i in range(length))


def data_object(kind: str, content: bytes) -> Any:
    if kind == "bytearray":
        return bytearray(content)
    if kind == "memoryview":
        return memoryview(bytearray(content))
    if kind == "readonly":
        return memoryview(content)
    if kind == "array":
        return array.array("i", content)  # 4-byte items
    if kind == "mmap":
        mapped = mmap.mmap(-1, len(content))
        mapped.write(content)
        return mapped
    return content


def digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def describe(block: dyadc.Block) -> dict[str, Any]:
    return {"first": block.first, "second": block.second, "type": block.type, "sha256": digest(block.data)}


def error(exception: BaseException) -> dict[str, Any]:
    event: dict[str, Any] = {"error": type(exception).__name__}
    if isinstance(exception, dyadc.DyadError):
        event.update(code=exception.code, name=exception.name)
    event["builtin"] = [base.__name__ for base in (TimeoutError, ConnectionError) if isinstance(exception, base)]
    return event


def say(**event: Any) -> None:
    print(json.dumps(event), flush=True)


def opened(role: str, identifier: str, peer: str, accept: Callable[[str], object] | None = None) -> dyadc.Link:
    if role == "responder" and accept is None:
        accept = lambda name: name == peer  # noqa: E731
    return dyadc.open(identifier, role=cast(dyadc.Role, role), accept=accept, timeout=20)


def blocks(role: str, identifier: str, peer: str) -> None:
    dyadc.set_log("/tmp/peer.log", 1_000_000, 2)  # every line sent and received
    with opened(role, identifier, peer) as link:
        if role == "responder":
            for block in link.blocks(timeout=20, buffer_size=RECEIVE_BUFFER):
                say(block=describe(block))
            say(ended=True)
            return
        totals: list[int] = []
        for seed, (first, second, type_, length, kind) in enumerate(BLOCKS):
            link.send(data_object(kind, pattern(length, seed)), first, second, type=type_, progress=totals.append)
        say(progress=totals)
        try:
            link.send(memoryview(bytearray(8))[::2], "strided", "view")
        except BufferError as exception:
            say(strided=error(exception))


def both_ways(role: str, identifier: str, peer: str) -> None:
    with opened(role, identifier, peer) as link:
        if role == "responder":
            say(block=describe(link.receive(timeout=20)))
            # The Initiator waits for the answer: nothing arrives meanwhile.
            try:
                link.receive(timeout=1)
            except dyadc.DyadError as exception:
                say(quiet=error(exception))
            # The Initiator's series keeps the connection open: answer on it.
            link.send(pattern(10000, 1), "pong", "answer", type=22)
            say(block=describe(link.receive(timeout=20)))
            say(ended=list(link.blocks(timeout=20)) == [])
            return
        link.send(pattern(500, 0), "ping", "question", type=21)
        say(block=describe(link.receive(timeout=20, buffer_size=999)))
        link.send(b"done", "done", "end of series", type=20)


def interrupted(role: str, identifier: str, peer: str) -> None:
    """Responder: Ctrl-C during a receive() that waits for a connection, then
    the next receive() takes the block that the Initiator sends only after
    the interrupt (it waits for a line on its standard input)."""
    log = "/tmp/interrupted.log"  # of this scenario alone
    if os.path.exists(log):
        os.remove(log)
    dyadc.set_log(log, 1_000_000, 2)
    with opened(role, identifier, peer) as link:
        if role == "initiator":
            sys.stdin.readline()
            link.send(pattern(5000, 3), "after", "the interrupt", timeout=10)
            return
        signal.signal(signal.SIGINT, signal.default_int_handler)  # as an interactive Python has it
        main = threading.get_ident()

        def interrupt() -> None:
            # Once the library's call listens for the connection (only a
            # receiving call writes this line).
            while "Reconnecting to" not in open(log, errors="replace").read():
                time.sleep(0.02)
            signal.pthread_kill(main, signal.SIGINT)

        threading.Thread(target=interrupt).start()
        try:
            link.receive(timeout=2)
        except KeyboardInterrupt:
            say(interrupted=True)
        say(block=describe(link.receive(timeout=20)))


def refused(role: str, identifier: str, peer: str, how: str) -> None:
    class Unwelcome(Exception):
        pass

    def accept(name: str) -> bool:
        say(asked=name)
        if how == "raise":
            raise Unwelcome(name)
        return False

    try:
        opened(role, identifier, peer, accept if role == "responder" else None).close()
    except (dyadc.DyadError, Unwelcome) as exception:
        say(open=error(exception))


def alone(role: str, identifier: str, peer: str) -> None:
    try:
        dyadc.open(identifier, role=cast(dyadc.Role, role), timeout=1).close()
    except dyadc.DyadError as exception:
        say(open=error(exception))


SCENARIOS: dict[str, Callable[[str, str, str], None]] = {
    "blocks": blocks,
    "both": both_ways,
    "refuse": lambda role, identifier, peer: refused(role, identifier, peer, "refuse"),
    "refuse-raise": lambda role, identifier, peer: refused(role, identifier, peer, "raise"),
    "alone": alone,
    "interrupted": interrupted,
}


def namespace(path: str) -> str | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return f"{status.st_dev}:{status.st_ino}"


def main() -> None:
    # Never on the machine's own network: only in a workstation of its own,
    # whose network namespace is neither the test's nor (where it can be
    # read) that of the machine's first process.
    own = namespace("/proc/self/ns/net")
    if own is None or own in (os.environ.get("DYADC_TEST_OUTSIDE_NET"), namespace("/proc/1/ns/net")):
        raise SystemExit("refusing to touch the network from the machine's own namespace")
    if not os.environ.get("DYADC_TEST_OUTSIDE_NET"):
        raise SystemExit("DYADC_TEST_OUTSIDE_NET must name the namespace to stay out of")
    scenario, role, identifier = sys.argv[1:4]
    peer = sys.argv[4] if len(sys.argv) > 4 else ""
    SCENARIOS[scenario](role, identifier, peer)
    say(done=True)


if __name__ == "__main__":
    main()
