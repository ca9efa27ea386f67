"""Shared fixtures: a simulated LAN of two workstations (tests/lan/lan) for
the whole run, and the peer program started in them.

The environment names the library under test (DYADC_LIBRARY) and, for the
installation test, the build directory (DYADC_BUILD_DIR); ctest sets both.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterator

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = HERE.parent.parent
LAN_TOOL = SOURCE / "tests" / "lan" / "lan"
HOSTNAMES = ("hosta", "hostb")


@dataclass
class Lan:
    name: str
    hosts: dict[int, Path]  # workstation number: its directory

    def spawn(
        self, host: int, argv: list[str], environment: dict[str, str], stdin: int = subprocess.DEVNULL
    ) -> subprocess.Popen[str]:
        """Starts `argv` in workstation `host`; its output is read as text."""
        # The library and the module stay visible in the workstation even
        # when they lie under /tmp.
        keep = [environment.get("DYADC_LAN_KEEP", ""), environment.get("PYTHONPATH", "")]
        if environment.get("DYADC_LIBRARY"):
            keep.append(str(Path(environment["DYADC_LIBRARY"]).resolve().parent))
        env = dict(environment, DYADC_LAN_KEEP=":".join(p for p in keep if p))
        return subprocess.Popen(
            [str(LAN_TOOL), "exec", self.name, str(host), "--", *argv],
            stdin=stdin,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
            cwd="/",  # nothing importable by chance from the current directory
        )


def peer_environment() -> dict[str, str]:
    # peer.py refuses to run in this process's network namespace.
    outside = os.stat("/proc/self/ns/net")
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", DYADC_TEST_OUTSIDE_NET=f"{outside.st_dev}:{outside.st_ino}")
    env.pop("DYADDEBUG", None)
    return env


@pytest.fixture(scope="session")
def lan() -> Iterator[Lan]:
    library = os.environ.get("DYADC_LIBRARY")
    if not library:
        pytest.fail("DYADC_LIBRARY must name the built libdyadc.so")
    keeper = subprocess.Popen(
        [str(LAN_TOOL), "up", "--hosts", "2", "--hostnames", ",".join(HOSTNAMES)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert keeper.stdout is not None
        name, hosts = "", {}
        for line in keeper.stdout:
            fields = line.split()
            if fields[:1] == ["lan"]:
                name = fields[1]
            elif fields[:1] == ["host"]:
                hosts[int(fields[1])] = Path(fields[4])
            elif fields == ["ready"]:
                break
        else:
            pytest.fail("lan up failed")
        # Each workstation's installed library: the version both sides
        # compare while pairing (equal here, so no update travels).
        for directory in hosts.values():
            shutil.copyfile(library, directory / "system" / "libdyadc.so")
        yield Lan(name, hosts)
    finally:
        # Closing the keeper's input removes the LAN and all it made.
        assert keeper.stdin is not None
        keeper.stdin.close()
        keeper.wait(timeout=60)


@pytest.fixture
def identifier(request: pytest.FixtureRequest) -> str:
    """An identifier of this test alone."""
    return f"py-{os.getpid()}-{request.node.name}"[:63]


def run_peers(
    lan: Lan, scenario: str, identifier: str, roles: dict[int, str], release: dict[str, Any] | None = None
) -> dict[int, list[dict[str, Any]]]:
    """Runs peer.py SCENARIO in the given workstations at once (host number:
    role) and returns each one's events. The Responders start first. With
    `release`, the Initiators' standard input stays open until the first
    Responder has printed that event (or ended)."""
    env = peer_environment()
    processes = {}
    for host, role in sorted(roles.items(), key=lambda item: item[1] != "responder"):
        other = HOSTNAMES[1] if host == 1 else HOSTNAMES[0]
        argv = [sys.executable, str(HERE / "peer.py"), scenario, role, identifier, other]
        held = release is not None and role == "initiator"
        processes[host] = lan.spawn(host, argv, env, subprocess.PIPE if held else subprocess.DEVNULL)
    early = dict.fromkeys(processes, "")  # output read before the release
    if release is not None:
        host = next(host for host, role in roles.items() if role == "responder")
        stdout = processes[host].stdout
        assert stdout is not None
        for line in stdout:
            early[host] += line
            if json.loads(line) == release:
                break
        for process in processes.values():
            if process.stdin is not None:
                process.stdin.close()
                process.stdin = None  # communicate() below has nothing more to write
    events = {}
    for host, process in processes.items():
        try:
            out, err = process.communicate(timeout=90)
        except subprocess.TimeoutExpired:
            process.kill()
            out, err = process.communicate()
        out = early[host] + out
        assert process.returncode == 0, f"workstation {host} ({roles[host]}) failed:\n{out}{err}"
        lines = [json.loads(line) for line in out.splitlines()]
        assert lines[-1:] == [{"done": True}], out + err
        events[host] = lines[:-1]
    return events
