#!/usr/bin/env python3
"""bench/report.py [--out DIR] FIGURES: the benchmarks' report.

Reads the records that bench/run wrote (FIGURES, one JSON object a line:
"section" and "record" name what it is, the other keys are its figures),
computes the statistics (best, median and slowest runs, ratios, percentiles,
what the CPU time allowed) and writes DIR/RESULTS.md (default: bench/), the
plots' data DIR/throughput.dat and DIR/files.dat, and the plots
DIR/throughput.png and DIR/files.png when gnuplot is installed. A section
without records is left out of the report, so that a run of some sections
gives a report of those."""
from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Optional

MIB = 1 << 20
# The sections of bench/run, all of which a full report has.
SECTIONS = ("link", "blocks", "single", "first", "pair", "cost", "files", "folders")

# ---- Statistics ---------------------------------------------------------


def median(values: Iterable[float]) -> float:
    """The median: the middle value, or the mean of the two middle ones."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("the median of no values")
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def nearest_rank(values: Iterable[float], fraction: float) -> float:
    """The value below which `fraction` of the values lie, by nearest rank:
    the p90 of 20 values is the 18th smallest."""
    ordered = sorted(values)
    rank = max(1, math.ceil(len(ordered) * fraction - 1e-9))
    return ordered[rank - 1]


@dataclass(frozen=True)
class Spread:
    """Best, median and slowest of a measurement's runs (higher is better)."""

    best: float
    median: float
    slowest: float

    @staticmethod
    def of(values: Iterable[float]) -> Optional["Spread"]:
        values = list(values)
        if not values:
            return None
        return Spread(max(values), median(values), min(values))

    def width(self) -> float:
        """(best - slowest) / median."""
        return (self.best - self.slowest) / self.median


def percent(part: float, whole: float) -> str:
    return f"{100 * part / whole:.0f}"


def met(value: float, target: float) -> str:
    return "met" if value >= target else "missed"


def under(value: float, target: float) -> str:
    return "met" if value < target else "missed"


def cpu_bound(mib: float, user: float, system: float, cores: int) -> float:
    """The most MiB/s that a copy of `mib` MiB taking `user` + `system` CPU
    seconds allows with every core busy all the time."""
    return mib / ((user + system) / cores)


def same_peak(first_kib: float, second_kib: float) -> bool:
    """Two peaks of memory are the same within 1 MiB."""
    return abs(first_kib - second_kib) <= 1024


def quiet(load: str) -> bool:
    """A machine is quiet when its 1-minute load average is under 0.5."""
    return float(load.split()[0]) < 0.5


def mib(kib: float) -> str:
    return f"{kib / 1024:.1f} MiB"


def rate_text(value: float) -> str:
    """A rate for a table: whole numbers, or two decimals below 10."""
    return f"{value:.2f}" if value < 10 else f"{value:.0f}"


# ---- The records ----------------------------------------------------------


class Figures:
    """The records of one run, by section."""

    def __init__(self, records: list[dict[str, Any]]) -> None:
        self.records = records
        starts = self.all("run", "begin")
        self.run = starts[0] if starts else {}
        ends = self.all("run", "end")
        self.run_end = ends[-1] if ends else {}

    @staticmethod
    def load(path: str) -> "Figures":
        with open(path, encoding="utf-8") as lines:
            return Figures([json.loads(line) for line in lines if line.strip()])

    def all(self, section: str, record: str, **match: Any) -> list[dict[str, Any]]:
        """The records of a section and kind whose fields match `match`."""
        return [
            r
            for r in self.records
            if r.get("section") == section
            and r.get("record") == record
            and all(r.get(key) == value for key, value in match.items())
        ]

    def one(self, section: str, record: str, **match: Any) -> Optional[dict[str, Any]]:
        found = self.all(section, record, **match)
        return found[-1] if found else None

    def has(self, section: str) -> bool:
        return bool(self.all(section, "begin"))

    def begin(self, section: str) -> dict[str, Any]:
        return self.one(section, "begin") or {}

    def end(self, section: str) -> dict[str, Any]:
        return self.one(section, "end") or {}

    def missing(self, section: str) -> list[str]:
        return [name for r in self.all(section, "missing") for name in str(r["names"]).split()]

    @property
    def runs(self) -> int:
        return int(self.run.get("runs", 0))

    @property
    def cores(self) -> int:
        return int(self.run.get("cores", 1))


def timed(records: Iterable[dict[str, Any]]) -> list[dict[str, Any]]:
    """The records that carry a measured time (a failed run carries none)."""
    return [r for r in records if isinstance(r.get("seconds"), (int, float)) and r["seconds"] > 0]


def mib_per_second(r: dict[str, Any]) -> float:
    return r["bytes"] / MIB / r["seconds"]


def mb_per_second(r: dict[str, Any]) -> float:
    return r["bytes"] / 1e6 / r["seconds"]


def blocks_per_second(r: dict[str, Any]) -> float:
    return r["blocks"] / r["seconds"]


def files_per_second(r: dict[str, Any]) -> float:
    return r["files"] / r["seconds"]


def spread(records: Iterable[dict[str, Any]], rate: Callable[[dict[str, Any]], float]) -> Optional[Spread]:
    return Spread.of(rate(r) for r in timed(records))


# ---- The sections ---------------------------------------------------------


class Report:
    """Computes every section's statistics and writes them as Markdown."""

    LINK_LABELS = {
        "lib-1m": "dyadc, 1 MiB blocks, 1 MiB buffer",
        "lib-4m": "dyadc, 4 MiB blocks, 1 MiB buffer",
        "lib-16m": "**dyadc, 16 MiB blocks, 1 MiB buffer**",
        "lib-16m-b256k": "dyadc, 16 MiB blocks, 256 KiB buffer",
        "lib-16m-b4m": "dyadc, 16 MiB blocks, 4 MiB buffer",
        "lib-16m-b16m": "dyadc, 16 MiB blocks, 16 MiB buffer",
        "exchange-16m": "plain TCP, same exchange, 16 MiB",
        "stream-16m": "plain TCP stream, 16 MiB writes",
        "stream-1m": "plain TCP stream, 1 MiB writes",
        "socat": "`socat -b 1M`",
        "iperf3": "`iperf3 -l 1M`",
    }
    FILE_LABELS = {
        "dyad": "dyad (4 MiB blocks, XXH3-128: the defaults)",
        "dyad-sha256": "dyad --checksum sha256 (both sides)",
        "dyad-512k": "dyad, 512 KiB blocks",
        "dyad-1m": "dyad, 1 MiB blocks",
        "dyad-16m": "dyad, 16 MiB blocks",
        "dyad-lines": "dyad, progress lines shown",
        "dyad-no-sum": "dyad without a checksum (measurement only)",
        "scp": "scp (over ssh)",
        "rsync": "rsync (over ssh)",
    }
    FOLDER_LABELS = {
        "tar-socat": "`tar c DIR | socat` into `socat | tar x`",
        "rsync": "`rsync -a` to an rsync daemon",
        "rsync-fsync": "`rsync -a --fsync` to an rsync daemon",
    }
    FOLDER_SETS = {"4k": "10,000 files of 4 KiB in 100 folders", "256k": "1,000 files of 256 KiB in 10 folders",
                   "1g": "one file of 1 GiB", "100k": "100,000 files of 4 KiB in 1,000 folders"}

    def __init__(self, figures: Figures) -> None:
        self.f = figures
        self.lines: list[str] = []
        f = figures
        self.link = {item: spread(f.all("link", "run", item=item), mib_per_second) for item in self._items()}
        self.large = {block: {item: median(mb_per_second(r) for r in timed(f.all("blocks", "large", item=item, block=block)))
                              for item in ("lib", "stream", "exchange")}
                      for block in self._blocks("large")}
        self.small = {block: {item: median(blocks_per_second(r) for r in timed(f.all("blocks", "small", item=item, block=block)))
                              for item in ("lib", "exchange")}
                      for block in self._blocks("small")}
        self.copiers = self._copiers()
        self.file_rates = {c: spread(f.all("files", "copy", copier=c), mib_per_second) for c in self.copiers}
        self.file_cpu = {c: self._cpu(c) for c in self.copiers}

    # -- gathering --

    def _items(self) -> list[str]:
        items: list[str] = []
        for r in self.f.all("link", "run"):
            if r["item"] not in items:
                items.append(r["item"])
        return items

    def _blocks(self, kind: str) -> list[int]:
        return sorted({r["block"] for r in self.f.all("blocks", kind)})

    def _copiers(self) -> list[str]:
        copiers: list[str] = []
        for r in self.f.all("files", "copy"):
            if r["copier"] not in copiers and timed([r]):
                copiers.append(r["copier"])
        return copiers

    def _cpu(self, copier: str) -> Optional[tuple[float, float]]:
        runs = [r for r in timed(self.f.all("files", "copy", copier=copier)) if "user" in r]
        if not runs:
            return None
        return median(r["user"] for r in runs), median(r["system"] for r in runs)

    def single_rates(self, item: str) -> list[float]:
        return [blocks_per_second(r) for r in timed(self.f.all("single", "run", item=item))]

    def single_rate(self, item: str) -> Optional[float]:
        rates = self.single_rates(item)
        return median(rates) if rates else None

    def first(self, key: str) -> tuple[float, float]:
        values = [r[key] for r in self.f.all("first", "pairing") if key in r]
        return median(values), max(values)

    def pairing(self) -> tuple[float, float, float, int]:
        values = [r["seconds"] for r in self.f.all("pair", "pairing") if "seconds" in r]
        return median(values), nearest_rank(values, 0.9), max(values), len(values)

    def syscalls(self, side: str) -> Optional[float]:
        counts = sorted((r["blocks"], r["calls"]) for r in self.f.all("cost", "syscalls", side=side)
                        if isinstance(r.get("calls"), (int, float)))
        if len(counts) < 2:
            return None
        (few_blocks, few), (many_blocks, many) = counts[0], counts[-1]
        return (many - few) / (many_blocks - few_blocks)

    def heap(self, side: str, block: int) -> Any:
        r = self.f.one("cost", "heap", side=side, block=block)
        return r["allocations"] if r else "?"

    def file_peak(self, size: int) -> Optional[dict[str, Any]]:
        return self.f.one("files", "peak", bytes=size)

    def folder_spread(self, set_name: str, disk: str, copier: str,
                      rate: Callable[[dict[str, Any]], float]) -> Optional[Spread]:
        return spread(self.f.all("folders", "copy", set=set_name, disk=disk, copier=copier), rate)

    def folder_copiers(self, disk: str) -> list[str]:
        copiers: list[str] = []
        for r in self.f.all("folders", "copy", disk=disk):
            if r["copier"] not in copiers:
                copiers.append(r["copier"])
        return copiers

    def folder_label(self, copier: str) -> str:
        """A copier's name for a table cell (a '|' escaped): tar's and rsync's
        from here, dyad's rows' from the driver's records."""
        if copier in self.FOLDER_LABELS:
            label = self.FOLDER_LABELS[copier]
        else:
            labels = [r["label"] for r in self.f.all("folders", "copy", copier=copier) + self.f.all("folders", "peak", copier=copier)]
            label = f"`{labels[0]}`" if labels else copier
        return label.replace("|", "\\|")

    def dyad_rows(self) -> list[str]:
        rows: list[str] = []
        for r in self.f.all("folders", "copy") + self.f.all("folders", "peak"):
            if r["copier"] not in self.FOLDER_LABELS and r["copier"] not in rows:
                rows.append(r["copier"])
        return rows

    # -- writing --

    def out(self, *lines: str) -> None:
        self.lines.extend(lines)

    def text(self) -> str:
        self.lines = []
        self.header()
        self.targets()
        if self.link:
            self.link_section()
        if self.large:
            self.large_section()
        if self.small:
            self.small_section()
        if self.f.has("single"):
            self.single_section()
        if self.f.all("first", "pairing"):
            self.first_section()
        if self.f.has("files"):
            self.files_section()
        if self.f.has("folders"):
            self.folders_section()
        if self.f.all("pair", "pairing"):
            self.pair_section()
        if self.f.has("cost"):
            self.cost_section()
        return "\n".join(self.lines) + "\n"

    def header(self) -> None:
        f = self.f
        run = f.run
        machine = (f"{f.cores} cores ({run.get('cpu', '?')}), {run.get('memory_kib', 0) / 1048576:.0f} GiB, "
                   f"Linux {run.get('kernel', '?')}, {run.get('compiler', '?')}")
        start, end = run.get("load", "?"), f.run_end.get("load", "?")
        self.out("# Benchmark results", "")
        sections = run.get("sections", "")
        only = "" if set(sections.split(",")) >= set(SECTIONS) else f" (sections {sections} only)"
        self.out(
            f"Measured by `bench/run {f.runs}`{only} on {run.get('date', '?')} between two simulated workstations (network",
            f"namespaces joined by veth pairs and a bridge) on one machine: {machine}.",
            f"Every library figure is the median of {f.runs} runs; plain TCP runs over the same link in the same run.",
            "For those the receiving side runs on CPU 0 and the sending side on CPU 1. The file copies (*Files*",
            "and *Folders*) run unpinned and report their best, median and slowest runs. The machine's load",
            f"average (1, 5 and 15 minutes, other work on it included) was {start} when the run began and {end}",
            "when it ended; an idle machine shows about 0, and every figure taken under load is lower and",
            "spreads more, the more so the more CPU time a measurement needs.",
        )
        if start != "?" and not quiet(start):
            self.out(f"**The machine was not quiet when this run began** (a 1-minute load of {start.split()[0]}): "
                     "read the figures with that in mind.")
        self.out("")

    def targets(self) -> None:
        f = self.f
        rows: list[str] = []
        link, socat = self.link, self.link.get("socat")
        if link.get("lib-16m") and socat:
            p = percent(link["lib-16m"].best, socat.best)
            rows.append(f"| large blocks of 16 MiB into a 1 MiB buffer: at least 95% of `socat -b 1M`, best against best | "
                        f"{p}% ({link['lib-16m'].best:.0f} / {socat.best:.0f} MiB/s) | {met(float(p), 95)} |")
            p = percent(link["lib-16m"].median, socat.median)
            rows.append(f"| the same, at least 90% median against median | {p}% ({link['lib-16m'].median:.0f} / "
                        f"{socat.median:.0f} MiB/s) | {met(float(p), 90)} |")
            for size in (1, 4):
                item = link.get(f"lib-{size}m")
                if item:
                    rows.append(f"| large blocks of {size} MiB into a 1 MiB buffer, beside it (best; median) | "
                                f"{percent(item.best, socat.best)}%; {percent(item.median, socat.median)}% | reported |")
        elif link:
            rows.append("| large blocks of 16 MiB into a 1 MiB buffer: at least 95% of `socat -b 1M` (best), 90% (median) "
                        "| socat not installed | not measured |")
        for size, row in self.small.items():
            p = percent(row["lib"], row["exchange"])
            rows.append(f"| small blocks of {size} B: at least 80% of the plain ping-pong | {p}% | {met(float(p), 80)} |")
        if f.all("pair", "pairing"):
            pair_median = self.pairing()[0]
            rows.append(f"| time to pair: median under 1.5 s | {pair_median:.3f} s | {under(pair_median, 1.5)} |")
        if f.has("cost"):
            send, receive = self.heap("sender", 64), self.heap("receiver", 64)
            verdict = "met" if send == 0 and receive == 0 else "missed"
            rows.append(f"| no heap allocation per block in the library | {send} (sender), {receive} (receiver) "
                        f"in 20000 blocks | {verdict} |")
        if f.has("single"):
            rate = self.single_rate("pausing")
            if rate is not None:
                verdict = met(rate, 1000)
                if verdict == "missed":
                    verdict += ": out of reach, each block needs a call and the calls are over 1 ms apart"
                rows.append(f"| single blocks, receiver sleeping 1 ms between calls: at least 1000 per second | "
                            f"{rate:.0f} blocks/s | {verdict} |")
            rate = self.single_rate("python")
            if rate is not None:
                rows.append(f"| single blocks, a Python receiving host: at least 1000 per second | {rate:.0f} blocks/s "
                            f"| {met(rate, 1000)} |")
            now, plain = self.single_rate("now"), self.single_rate("plain")
            if now is not None and plain is not None:
                rows.append(f"| single blocks, a receiver that calls again at once, against plain sockets of the same "
                            f"shape | {percent(now, plain)}% ({now:.0f} / {plain:.0f} blocks/s) | reported |")
        if f.all("first", "pairing"):
            send, close = self.first("send")[0], self.first("close")[0]
            rows.append(f"| the first block after pairing: median of 20 under 50 ms | {send * 1000:.1f} ms | "
                        f"{under(send, 0.05)} |")
            rows.append(f"| DyadClose after it: median of 20 under 50 ms | {close * 1000:.1f} ms | {under(close, 0.05)} |")
        if f.has("files"):
            rows.extend(self.file_targets())
        if not rows:
            return
        self.out("## Targets", "", "| Target | Measured | |", "|---|---|---|", *rows, "")
        if self.link:
            self.out(
                "The limit of the link for a host that receives into a 1 MiB buffer is a plain copy that reads and",
                "writes 1 MiB at a time: `socat -b 1M` and `iperf3 -l 1M`, measured in the same interleaved rounds",
                "(*Large blocks against the link's limit*). A plain stream of writes of the block size is no such",
                "limit: a write of 16 MiB or more is one long send, slower than the same bytes in writes of 1 MiB.",
                "Large blocks travel stop-and-wait: a header line, a reply, the bytes, and a final reply before the",
                "next block may start, so after each block the link drains and both sides wait for a round trip",
                "twice. A plain stream never stops. The column *plain TCP, same exchange* does what dyadc does",
                "with plain sockets: the gap between it and the plain stream is the exchange that the wire format",
                "prescribes, large at 1 MiB and small for blocks of 16 MiB and more. dyadc's own cost is the gap",
                "between it and that column.",
                "Blocks smaller than the receiver's buffer also pay for clearing the rest of that buffer on each",
                "call (the interface promises zeros after the received bytes): use a buffer the size of the blocks.",
                f"On this {'two' if self.f.cores == 2 else self.f.cores}-core virtual machine single runs of the same "
                "measurement spread widely (a factor of",
                "two between runs is common), which the medians and the pinning to CPUs only partly tame.",
                "",
            )

    def file_targets(self) -> list[str]:
        rows: list[str] = []
        rates, socat = self.file_rates, self.file_rates.get("socat")
        dyad = rates.get("dyad")
        if dyad and socat:
            p = percent(dyad.best, socat.best)
            verdict = met(float(p), 80)
            if verdict == "missed":
                verdict = f"missed: the two workstations share {self.f.cores} cores, see *Files*"
            sha = rates.get("dyad-sha256")
            sha_text = f"; with --checksum sha256 {percent(sha.best, socat.best)}% ({sha.best:.0f} MiB/s)" if sha else ""
            rows.append(f"| dyad send/receive of 1 GiB (XXH3-128): at least 80% of a socat copy (best runs) | {p}% "
                        f"({dyad.best:.0f} / {socat.best:.0f} MiB/s){sha_text} | {verdict} |")
        elif dyad:
            rows.append("| dyad send/receive of 1 GiB: at least 80% of a socat copy | socat not installed | not measured |")
        for other in ("scp", "rsync"):
            if dyad and rates.get(other):
                p = percent(dyad.best, rates[other].best)
                rows.append(f"| dyad ahead of {other} (best runs) | {p}% of {other}'s speed ({dyad.best:.0f} / "
                            f"{rates[other].best:.0f} MiB/s) | {met(float(p), 100)} |")
            else:
                rows.append(f"| dyad ahead of {other} | {other} not available | not measured |")
        small, large = self.file_peak(1 << 30), self.file_peak(4 << 30)
        if small and large:
            flat = same_peak(small["sender"], large["sender"]) and same_peak(small["receiver"], large["receiver"])
            rows.append(f"| memory flat: the same peak for a 1 GiB and a 4 GiB file | {mib(small['sender'])} / "
                        f"{mib(large['sender'])} (sender), {mib(small['receiver'])} / {mib(large['receiver'])} (receiver) "
                        f"| {'met' if flat else 'missed'} |")
        return rows

    def link_section(self) -> None:
        f, link = self.f, self.link
        begin, end = f.begin("link"), f.end("link")
        socat, exchange = link.get("socat"), link.get("exchange-16m")
        self.out(
            "## Large blocks against the link's limit",
            "",
            "Series of blocks (21, 22..., 20) on one connection, 1 GiB per run, against plain copies of 1 GiB",
            f"over the same link: {begin.get('rounds', '?')} rounds, each round one run of every row in turn, so that "
            "a disturbance",
            "of the machine hits them alike; the receiving side on CPU 0, the sending side on CPU 1. `socat -u",
            "-b 1048576` copies /dev/zero to /dev/null (its time runs from the receiving socat's accepting the",
            "connection until it exits after the last byte, by its own log); `iperf3 -l 1048576 -n 1G`",
            "reports its own time. The plain TCP rows are dyadc-bench's: one stream of writes of the given size",
            "read 1 MiB at a time, and the exchange that dyadc makes (header line, reply, the bytes in sends of",
            "at most 1 MiB as dyadc sends them, reply). MiB/s are 2^20 bytes per second; spread is (best -",
            f"slowest) / median. Load average {begin.get('load', '?')} at the start of these rounds, "
            f"{end.get('load', '?')} at their end.",
            "",
        )
        if socat:
            self.out("| Run | best MiB/s | median | slowest | spread | best / socat's best | median / socat's median "
                     "| median / same exchange's |")
        else:
            self.out("| Run | best MiB/s | median | slowest | spread | | | median / same exchange's |")
        self.out("|---|---|---|---|---|---|---|---|")
        for item, s in link.items():
            if not s:
                continue
            versus_best = f"{percent(s.best, socat.best)}%" if socat else ""
            versus_mid = f"{percent(s.median, socat.median)}%" if socat else ""
            versus_exchange = f"{percent(s.median, exchange.median)}%" if exchange else ""
            self.out(f"| {self.LINK_LABELS.get(item, item)} | {s.best:.0f} | {s.median:.0f} | {s.slowest:.0f} | "
                     f"{100 * s.width():.0f}% | {versus_best} | {versus_mid} | {versus_exchange} |")
        if f.missing("link"):
            self.out("", f"Not installed, so not compared: {' '.join(f.missing('link'))}.")
        self.out("")

    def large_section(self) -> None:
        def row(block: int, name: str) -> str:
            r = self.large[block]
            return (f"| {name} | {r['lib']:.1f} | {r['stream']:.1f} | {percent(r['lib'], r['stream'])}% | "
                    f"{r['exchange']:.1f} | {percent(r['lib'], r['exchange'])}% |")

        heading = ("| Block | dyadc MB/s | plain TCP stream MB/s | dyadc / stream | plain TCP, same exchange MB/s "
                   "| dyadc / same exchange |")
        self.out(
            "## Large blocks by size",
            "",
            "Series of blocks (21, 22..., 20) on one connection, 2 GiB per run, receiver buffer 1 MiB. *Plain",
            "TCP stream* is one stream of writes of the block size, which for writes of 16 MiB and more is slower",
            "than the link (see above); *plain TCP, same exchange* sends each block the way dyadc does (header",
            "line, reply, the bytes in sends of at most 1 MiB, reply) with plain sockets. MB/s are 10^6 bytes/s.",
            "",
            heading,
            "|---|---|---|---|---|---|",
        )
        for block in (1 << 20, 16 << 20, 256 << 20):
            if block in self.large:
                self.out(row(block, f"{block >> 20} MiB"))
        self.out("", "![throughput against block size](throughput.png)", "", heading, "|---|---|---|---|---|---|")
        for block in self.large:
            self.out(row(block, f"{block >> 10} KiB"))
        self.out("")

    def small_section(self) -> None:
        self.out(
            "## Small blocks",
            "",
            "20000 blocks per run in one series on one connection, against a plain TCP ping-pong of the same",
            "shape (header line out, reply in, bytes out, reply in), both with TCP_NODELAY.",
            "",
            "| Block | dyadc blocks/s | ping-pong blocks/s | dyadc / ping-pong |",
            "|---|---|---|---|",
        )
        for size, r in self.small.items():
            self.out(f"| {size} B | {r['lib']:.0f} | {r['exchange']:.0f} | {percent(r['lib'], r['exchange'])}% |")
        self.out("")

    def single_section(self) -> None:
        f = self.f
        begin, end = f.begin("single"), f.end("single")
        count = begin.get("count", 2000)

        def runs(item: str) -> str:
            return " ".join(f"{v:.0f}" for v in self.single_rates(item))

        def counts(key: str) -> list[int]:
            return [r[key] for r in f.all("single", "run", item="pausing") if key in r]

        pausing, now, plain, python = (self.single_rate(i) for i in ("pausing", "now", "plain", "python"))
        retrans = f.one("single", "syn-retrans") or {}
        self.out(
            "## Single blocks",
            "",
            f"{count} blocks of 64 bytes of type 7 per run, each on a connection of its own; the receiving host",
            f"spends a millisecond between its DyadRecvDataBlock calls (a sleep of 1 ms): **{pausing or 0:.0f} blocks/s**",
            f"(runs: {runs('pausing')}). With a receiver that calls again at once: {now or 0:.0f} blocks/s",
            f"(runs: {runs('now')}), {percent(now or 0, plain or 1)}% of plain sockets doing the same in the same rounds",
            "(a connection per message: connect, header line, reply, 64 bytes, reply, and the receiving side",
            f"closes; its listener stays open throughout): {plain or 0:.0f} blocks/s (runs: {runs('plain')}).",
            f"The machine's load average (1, 5 and 15 minutes) was {begin.get('load', '?')} when these runs began on",
            f"{begin.get('date', '?')} and {end.get('load', '?')} when they ended. The plain server listens throughout "
            "and accepts each",
            "connection at once; dyadc's Responder listens only while a DyadRecvDataBlock call waits, and",
            "closes its listening socket with each single block's connection. Each block so also costs the",
            "Responder a new listening socket (socket, bind, listen), and the Initiator, whose connection",
            "often arrives before that listener is back, a refusal and a pause of at least 0.1 ms before it",
            "asks again, as below.",
        )
        if python is not None:
            self.out("With a small Python program receiving through the dyadc module (bench/python-recv.py, a buffer "
                     f"of 64 KiB): **{python:.0f} blocks/s** (runs: {runs('python')}).")
        refused, asked = counts("refused"), counts("asked_again")

        def middle(values: list[int]) -> str:
            return f"{median(values):g}" if values else "?"

        self.out(
            "",
            "Where the time goes: the Responder listens only while a DyadRecvDataBlock call waits for a",
            "connection. After a single block it closes the connection and the listening socket and returns;",
            "the Initiator's next block connects at once and is refused while the receiving host is still",
            "in its pause. The Initiator tries again after 0.1 ms, each pause half as long again as the one",
            "before (doubling gave about 14% fewer blocks a second), until the host's next call listens again.",
            f"In the median run of the pausing host {middle(refused)} connection attempts of "
            f"{count} blocks were refused (runs: {' '.join(map(str, refused))}).",
            "So each block costs the host's pause, the sender's retry pause (which starts before the",
            "listener is back and ends after it), a connection and the exchange. A host that sleeps a full",
            "millisecond between its calls cannot reach 1000 blocks a second whatever the library does: each",
            "block needs a call of its own, and the calls are a millisecond, plus the sleep's own overshoot,",
            "apart. The Python host spends some tens of microseconds between its calls.",
            "",
            "The Responder closes each single block's connection first and so remembers it (TIME_WAIT) for a",
            f"minute, and {count} blocks go through the Initiator's ports more than once. A connection",
            "request from a port whose old connection is still remembered is answered, while no listener is",
            "open, with an acknowledgement of the old connection instead of a refusal, and the system repeats",
            "the request only after some 16 ms (TcpExtTCPSynRetrans in nstat): before the Initiator took this",
            "into account, such runs fell to 130 to 270 blocks a second after their first few thousand",
            "blocks, whatever the host. The Initiator now gives a request four times the Responder's last",
            "answer time (at least 0.25 ms) and then asks again from a new port, doubling the patience, in",
            "the first quarter of the same one-second time-out: in the median run of the pausing host",
            f"{middle(asked)} requests were asked again (runs: {' '.join(map(str, asked))}), and in "
            "all single-block runs",
            f"together the system repeated {retrans.get('count', '?')} requests on its own. The runs still slow down "
            "somewhat",
            "as the benchmark goes on: each remembered connection is one more entry that the system checks",
            "whenever the Responder binds and listens on its port again (bind and listen took 20 us with 140",
            "of them and 43 us with 860, strace).",
            "",
        )

    def first_section(self) -> None:
        (send, send_max), (close, close_max) = self.first("send"), self.first("close")
        self.out(
            "## The first block and DyadClose",
            "",
            "20 pairings; after each, the Initiator sends one block (64 bytes, type 7, which opens the data",
            "connection and closes it again) and then calls DyadClose (which connects again to tell the",
            f"Responder). **First block: median {send * 1000:.1f} ms (max {send_max * 1000:.1f} ms); DyadClose: median",
            f"{close * 1000:.1f} ms (max {close_max * 1000:.1f} ms).**",
            "",
        )

    def files_section(self) -> None:
        f, rates, cpu = self.f, self.file_rates, self.file_cpu
        begin, end = f.begin("files"), f.end("files")
        socat = rates.get("socat")
        self.out(
            "## Files",
            "",
            "One file of 1 GiB of random bytes from workstation 2's /tmp to workstation 1's, both memory file",
            f"systems; {f.runs} rounds, each round one copy by every copier in turn, so that a disturbance of the",
            "machine hits them alike; each copy compared with the original afterwards. The receiving side's",
            "memory was filled and freed once, and one dyad copy ran uncounted, before the first round (on this",
            "virtual machine the first touch of fresh memory costs several times a later one). The processes",
            "are not pinned to CPUs. Times run",
            "from starting the sending command until both sides have ended; dyad's leave out its pairing (the",
            "wait for the Responder's announce, up to a second), scp's and rsync's include the ssh handshake.",
            "scp and rsync run over ssh, with OpenSSH's default cipher, to a throw-away sshd in workstation 1.",
            "socat copies with 1 MiB buffers. MiB/s are 2^20 bytes per second; the ratios compare best runs,",
            "the least disturbed on this machine, which other work shares: its load average (1, 5 and 15",
            f"minutes) was {begin.get('load', '?')} when these copies began on {begin.get('date', '?')} and "
            f"{end.get('load', '?')} when they",
            "ended.",
            "",
            "| Copier | best MiB/s | median | slowest | best / socat's best | CPU seconds, user + system, both sides "
            "(median) |",
            "|---|---|---|---|---|---|",
        )
        for copier in self.copiers:
            s = rates[copier]
            if not s:
                continue
            versus = f"{percent(s.best, socat.best)}%" if socat else ""
            used = cpu[copier]
            cpu_text = f"{used[0]:.2f} + {used[1]:.2f}" if used else "(one side runs under sshd)"
            self.out(f"| {self.FILE_LABELS.get(copier, copier)} | {s.best:.0f} | {s.median:.0f} | {s.slowest:.0f} | "
                     f"{versus} | {cpu_text} |")
        self.out("", "![file copies, 1 GiB](files.png)", "")
        if f.missing("files"):
            self.out(f"Not installed, so not compared: {' '.join(f.missing('files'))}.", "")
        small, large = self.file_peak(1 << 30), self.file_peak(4 << 30)
        if small and large:
            self.out(
                "Peak memory (maximum resident set, GNU time) of dyad with its default blocks: 1 GiB file",
                f"{mib(small['sender'])} sender, {mib(small['receiver'])} receiver; 4 GiB file {mib(large['sender'])} "
                f"sender, {mib(large['receiver'])} receiver. Each",
                "side holds four block buffers, whatever the size of the file.",
                "",
            )
        self.out(
            f"Where the time goes: both workstations share this machine's {f.cores} cores, and a file copy keeps",
            "them busy (the CPU column). dyad does what socat does, plus a checksum of every byte on each",
            "side. The row *without a checksum* runs the same pipeline without hashing (SHA-256 named on both",
            "sides, with libcrypto's digest update made a no-op); what a checksum adds is the user CPU time of",
            "its row less that one's, both sides together (hashing runs in user time; the system time, which",
            "the network and the files take, spreads too widely between runs to subtract).",
        )
        sha = f.one("files", "sha256") or {}
        speed = sha.get("mbs")
        speed_ok = isinstance(speed, (int, float)) and speed > 0
        if cpu.get("dyad") and cpu.get("dyad-sha256") and cpu.get("dyad-no-sum"):
            plain = cpu["dyad-no-sum"][0]
            self.out(f"XXH3-128, the default, added {cpu['dyad'][0] - plain:.2f} s for 1 GiB and SHA-256 "
                     f"{cpu['dyad-sha256'][0] - plain:.2f} s; this processor")
        else:
            self.out("This processor")
        per_side = f"{1073.741824 / speed:.2f}" if speed_ok else "?"
        self.out(
            f"computes SHA-256 at {speed if speed_ok else '?'} MB/s on one core (openssl speed; SHA instructions: "
            f"{sha.get('sha_ni', '?')}), about",
            f"{per_side} s per side for 1 GiB.",
        )
        if cpu.get("socat") and cpu.get("dyad") and cpu.get("dyad-sha256"):
            def bound(copier: str) -> str:
                return f"{cpu_bound(1024, *cpu[copier], f.cores):.0f}"

            self.out(
                f"With all {f.cores} cores busy all the time, the CPU time that a copy takes allows at most",
                f"{bound('socat')} MiB/s for socat's, {bound('dyad')} MiB/s for dyad's default copy and",
                f"{bound('dyad-sha256')} MiB/s with SHA-256 (medians of the CPU column; figures above the measured",
                "best mean that both cores were busy, the system time of the network included, for more of the",
                "copy than the accounting shows).",
            )
        self.out(
            "",
            "The rest of the gap to socat, beyond the checksum, is how the work of two workstations meets on two",
            "shared cores, and little the exchange (its two round trips per block: *Large blocks* compares a",
            "plain exchange of that shape with a plain stream). Both sides move each byte twice (file to buffer,",
            "buffer to socket; socket to buffer, buffer to file), as socat does; but perf sched shows the",
            "scheduler running each side's network thread on the core of the other side's (the socket wakes them",
            "in turn), and the file threads on the other core. A 4 MiB block is written into the socket before",
            "the receiver copies it out, so that the receiver's copy misses the caches: perf found the receiver's",
            "copy out of the socket at 16% of all samples against 3% for socat's, and the receiving side took 0.8",
            "to 1.0 CPU seconds for 1 GiB against socat's 0.55. Smaller blocks stay in the caches (the rows with",
            "1 MiB and 512 KiB blocks; the receiver took about a fifth and a quarter less CPU with them), but two",
            "real workstations have caches and cores of their own, and there the two round trips per block cost a",
            "10 Gbit/s link with a round trip of 0.1 ms about a fifth of a 1 MiB block's time and a twentieth of",
            "a 4 MiB block's: the default stays 4 MiB, for 16 MiB of buffers a side. What did not close the gap,",
            "measured the same way: receiving in pieces of 256 KiB to 1 MiB (hot buffers for the copy out of the",
            "socket, but four times the hand-overs to the file thread), fewer buffers in circulation, a single",
            "thread on either side instead of the pair (no hand-over, but no overlap either: the copy then waited",
            "on the exchange), and pinning each side to a core of its own. Reading and hashing, and hashing and",
            "writing, in slices of 256 KiB that stay in the cache took a little CPU time off the checksum.",
            "Mapping the file on the sender instead of reading it saved the sender a copy (0.53 to 0.40 CPU",
            "seconds for 1 GiB) and gained up to a tenth in best runs, but a file cut short while it is sent",
            "would then end dyad with a fault, or leave the library retrying a send that cannot succeed: dyad",
            "reads its files. Progress lines cost nothing measurable.",
            "",
        )

    def folders_section(self) -> None:
        f = self.f
        begin, end = f.begin("folders"), f.end("folders")
        disk = f.one("folders", "disk")
        disks = ["tmpfs"] + (["ext4"] if f.all("folders", "copy", disk="ext4") else [])
        disk_text = (f"a folder under {disk['path']} on the machine's disk ({disk['fstype']} on {disk['source']})"
                     if disk else "a folder on the machine's disk")
        self.out(
            "## Folders",
            "",
            "Folders from workstation 2's /tmp (a memory file system) to workstation 1: "
            + ", ".join(self.FOLDER_SETS[s["set"]] for s in f.all("folders", "set") if s["set"] != "100k")
            + " of random bytes,",
            f"first into workstation 1's /tmp (tmpfs), then into {disk_text}. {begin.get('rounds', '?')} rounds,",
            "each round one copy by every copier in turn, so that a disturbance of the machine hits them alike;",
            "one uncounted copy before the first round of each set; each copy compared with the original",
            "afterwards. Times run from starting the sending command until both sides have ended; dyad's leave",
            "out its pairing. `tar c | socat` and `socat | tar x` copy through 1 MiB buffers; the rsync daemon",
            "runs in workstation 1 (no ssh). On the disk, each copy starts once the disk has written what the",
            "earlier ones left in memory (`sync -f`), and ends when the last process has ended: tar and rsync",
            "leave their files in the system's memory for the disk to write later, `rsync --fsync` and dyad",
            "write each file to the disk before they go on. The processes are not pinned to CPUs. Files/s count",
            "the files of a set; MiB/s are 2^20 bytes per second of their contents; the ratios compare files/s",
            "(for MiB/s they are the same). Load average "
            f"{begin.get('load', '?')} at the start",
            f"of these copies on {begin.get('date', '?')}, {end.get('load', '?')} at their end.",
            "",
        )
        self.folder_targets()
        for name in disks:
            self.out(f"### Into {'a memory file system (tmpfs)' if name == 'tmpfs' else 'the disk (' + name + ')'}", "",
                     "| Set | Copier | best files/s | median files/s | best MiB/s | median MiB/s | best / rsync's best "
                     "| median / rsync's median | best / tar's best |",
                     "|---|---|---|---|---|---|---|---|---|")
            for set_record in f.all("folders", "set"):
                set_name = set_record["set"]
                rsync = self.folder_spread(set_name, name, "rsync", files_per_second)
                tar = self.folder_spread(set_name, name, "tar-socat", files_per_second)
                for copier in self.folder_copiers(name):
                    rate = self.folder_spread(set_name, name, copier, files_per_second)
                    volume = self.folder_spread(set_name, name, copier, mib_per_second)
                    if not rate or not volume:
                        continue
                    self.out(f"| {self.FOLDER_SETS[set_name]} | {self.folder_label(copier)} | {rate_text(rate.best)} | "
                             f"{rate_text(rate.median)} | {rate_text(volume.best)} | {rate_text(volume.median)} | "
                             f"{rate.best / rsync.best if rsync else 0:.2f} | {rate.median / rsync.median if rsync else 0:.2f} | "
                             f"{rate.best / tar.best if tar else 0:.2f} |")
            failed = f.all("folders", "failed", disk=name)
            if failed:
                self.out("", "Failed copies (left out): " + ", ".join(
                    f"{r['copier']} of {r['set']} in round {r['round']}" for r in failed) + ".")
            self.out("")
        if f.missing("folders"):
            self.out(f"Not installed, so not compared: {' '.join(f.missing('folders'))}.", "")
        peaks = f.all("folders", "peak")
        if peaks:
            self.out("Peak memory (maximum resident set, GNU time) of both dyad processes, one copy each between the",
                     "memory file systems:", "",
                     "| dyad | files | sender | receiver | files/s (the sender's whole run) |", "|---|---|---|---|---|")
            for p in peaks:
                self.out(f"| {self.folder_label(p['copier'])} | {self.FOLDER_SETS.get(p['set'], p['set'])} "
                         f"({p.get('received', '?')} arrived) | {mib(p['sender'])} | {mib(p['receiver'])} | "
                         f"{p['received'] / p['seconds'] if p.get('seconds') else 0:.0f} |")
            self.out("")

    def folder_targets(self) -> None:
        """The targets of the change that makes a folder one stream, against
        each dyad row of this run."""
        rows: list[str] = []
        files_dyad = self.file_rates.get("dyad")
        for copier in self.dyad_rows():
            label = self.folder_label(copier)
            dyad = self.folder_spread("4k", "tmpfs", copier, files_per_second)
            rsync = self.folder_spread("4k", "tmpfs", "rsync", files_per_second)
            tar = self.folder_spread("4k", "tmpfs", "tar-socat", files_per_second)
            if dyad and rsync:
                rows.append(f"| {label}, 10,000 files of 4 KiB on tmpfs: at least 1.5 times rsync's files/s (best) | "
                            f"{dyad.best / rsync.best:.2f} ({dyad.best:.0f} / {rsync.best:.0f} files/s) | "
                            f"{met(dyad.best / rsync.best, 1.5)} |")
            if dyad and tar:
                rows.append(f"| the same: at least half of tar \\| socat's (best) | {dyad.best / tar.best:.2f} "
                            f"({dyad.best:.0f} / {tar.best:.0f} files/s) | {met(dyad.best / tar.best, 0.5)} |")
            dyad = self.folder_spread("256k", "tmpfs", copier, files_per_second)
            rsync = self.folder_spread("256k", "tmpfs", "rsync", files_per_second)
            if dyad and rsync:
                rows.append(f"| 1,000 files of 256 KiB on tmpfs: at least rsync's files/s (best) | "
                            f"{dyad.best / rsync.best:.2f} ({dyad.best:.0f} / {rsync.best:.0f} files/s) | "
                            f"{met(dyad.best / rsync.best, 1)} |")
            dyad = self.folder_spread("1g", "tmpfs", copier, mib_per_second)
            if dyad:
                beside = (f"; *Files*' dyad send of one file: {files_dyad.best:.0f} MiB/s" if files_dyad else "")
                rows.append(f"| one file of 1 GiB on tmpfs: no slower than today's | {dyad.best:.0f} MiB/s (best)"
                            f"{beside} | reported |")
            for set_name in ("4k", "256k", "1g"):
                dyad = self.folder_spread(set_name, "ext4", copier, files_per_second)
                rsync = self.folder_spread(set_name, "ext4", "rsync", files_per_second)
                synced = self.folder_spread(set_name, "ext4", "rsync-fsync", files_per_second)
                if dyad and rsync and synced:
                    rows.append(f"| {self.FOLDER_SETS[set_name]} on ext4, beside rsync and rsync --fsync (best) | "
                                f"{dyad.best / rsync.best:.2f} of rsync's, {dyad.best / synced.best:.2f} of rsync "
                                f"--fsync's files/s | reported |")
            few = self.f.one("folders", "peak", copier=copier, set="4k")
            many = self.f.one("folders", "peak", copier=copier, set="100k")
            if few and many:
                flat = same_peak(few["sender"], many["sender"]) and same_peak(few["receiver"], many["receiver"])
                rows.append(f"| memory flat in the number of files: the same peak for 100,000 files as for 10,000 | "
                            f"{mib(few['sender'])} / {mib(many['sender'])} (sender), {mib(few['receiver'])} / "
                            f"{mib(many['receiver'])} (receiver) | {'met' if flat else 'missed'} |")
        if rows:
            self.out("Targets of the change that makes a folder one stream:", "",
                     "| Target | Measured | |", "|---|---|---|", *rows, "")

    def pair_section(self) -> None:
        pair_median, p90, longest, count = self.pairing()
        self.out(
            "## Time to pair",
            "",
            "From starting both sides together (each a new process that loads the library) until both",
            f"DyadOpen calls returned 0, over {count} pairings: **median {pair_median:.3f} s, p90 {p90:.3f} s** "
            f"(max {longest:.3f} s).",
            "Each pairing takes either some 0.03 s or a second more: when the Responder's first announce leaves",
            "before the Initiator has joined the group, the Initiator pairs on the next one, a second later.",
            "Which of the two happens more often in a run decides its median.",
            "",
        )

    def cost_section(self) -> None:
        def calls(side: str) -> str:
            value = self.syscalls(side)
            return f"{value:.2f}" if value is not None else "(strace not installed)"

        self.out(
            "## Cost per block",
            "",
            "| | sender | receiver |",
            "|---|---|---|",
            f"| system calls per 64-byte block (strace -c) | {calls('sender')} | {calls('receiver')} |",
            f"| heap allocations in 20000 64-byte blocks | {self.heap('sender', 64)} | {self.heap('receiver', 64)} |",
            f"| heap allocations in 64 blocks of 16 MiB (sender) | {self.heap('sender', 16 << 20)} | |",
        )

    # -- the plots' data --

    def throughput_dat(self) -> str:
        return "".join(f"{block} {r['lib']:.1f} {r['stream']:.1f} {r['exchange']:.1f}\n" for block, r in self.large.items())

    def files_dat(self) -> str:
        return "".join(f'"{c}" {s.best:.0f} {s.median:.0f} {s.slowest:.0f}\n'
                       for c, s in self.file_rates.items() if s)


THROUGHPUT_PLOT = """set terminal pngcairo size 900,560
set output "{out}/throughput.png"
set title "Throughput against block size (2 GiB per run, median of {runs})"
set logscale x 2
set xrange [45000:380000000]
set xtics ("64 KiB" 65536, "256 KiB" 262144, "1 MiB" 1048576, "4 MiB" 4194304, "16 MiB" 16777216, \\
           "64 MiB" 67108864, "256 MiB" 268435456)
set xlabel "block size"
set ylabel "MB/s"
set key bottom right
set grid
plot "{out}/throughput.dat" using 1:3 with linespoints title "plain TCP stream", \\
     "{out}/throughput.dat" using 1:4 with linespoints title "plain TCP, same exchange", \\
     "{out}/throughput.dat" using 1:2 with linespoints title "dyadc"
"""

FILES_PLOT = """set terminal pngcairo size 900,560
set output "{out}/files.png"
set title "1 GiB file between two simulated workstations (best of {runs}; bars: slowest to best)"
set ylabel "MiB/s"
set style fill solid 0.5
set boxwidth 0.6
set yrange [0:*]
set xtics rotate by -30
set grid ytics
set key off
plot "{out}/files.dat" using 0:2:xtic(1) with boxes, \\
     "{out}/files.dat" using 0:3:4:2 with yerrorbars pointtype 7
"""


def write(figures_path: str, out: str) -> None:
    """Writes the report of the figures at `figures_path` into the folder `out`."""
    report = Report(Figures.load(figures_path))
    text = report.text()
    plots = []
    if report.large:
        with open(os.path.join(out, "throughput.dat"), "w", encoding="utf-8") as data:
            data.write(report.throughput_dat())
        plots.append(THROUGHPUT_PLOT)
    if report.file_rates:
        with open(os.path.join(out, "files.dat"), "w", encoding="utf-8") as data:
            data.write(report.files_dat())
        plots.append(FILES_PLOT)
    if plots and shutil.which("gnuplot"):
        for plot in plots:
            subprocess.run(["gnuplot"], input=plot.format(out=out, runs=report.f.runs), text=True, check=True)
    elif plots:
        print("gnuplot is not installed: no plot (apt-get install gnuplot-nox)", file=sys.stderr)
    with open(os.path.join(out, "RESULTS.md.new"), "w", encoding="utf-8") as results:
        results.write(text)
    os.replace(os.path.join(out, "RESULTS.md.new"), os.path.join(out, "RESULTS.md"))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)),
                        help="the folder that receives RESULTS.md and the plots (default: bench/)")
    parser.add_argument("figures", help="figures.jsonl of a run of bench/run")
    arguments = parser.parse_args()
    write(arguments.figures, arguments.out)


if __name__ == "__main__":
    main()
