"""The statistics of bench/report.py, on the fixed figures of figures.jsonl
beside this file (three rounds of every section, with figures chosen so that
each result can be checked by hand)."""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import report  # noqa: E402


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    out = tmp_path_factory.mktemp("report")
    report.write(os.path.join(HERE, "figures.jsonl"), str(out))
    return (out / "RESULTS.md").read_text().splitlines()


@pytest.mark.parametrize(
    "values, expected",
    [([3], 3), ([5, 1, 3], 3), ([4, 1, 3, 2], 2.5), ([2.5, 2.5], 2.5)],
)
def test_median(values, expected):
    assert report.median(values) == expected


@pytest.mark.parametrize(
    "count, fraction, expected",
    [(20, 0.9, 18), (10, 0.9, 9), (1, 0.9, 1), (3, 0.5, 2)],
)
def test_nearest_rank(count, fraction, expected):
    assert report.nearest_rank(range(count, 0, -1), fraction) == expected


def test_spread_and_the_small_rules():
    s = report.Spread.of([900, 1200, 1000])
    assert (s.best, s.median, s.slowest) == (1200, 1000, 900)
    assert s.width() == pytest.approx(0.3)
    assert report.Spread.of([]) is None
    assert report.cpu_bound(1024, 0.5, 1.5, 2) == 1024
    assert report.same_peak(26316, 26316 + 1024) and not report.same_peak(26316, 26316 + 1025)
    assert report.quiet("0.49 2 2") and not report.quiet("0.50 0 0")
    assert report.rate_text(0.8) == "0.80" and report.rate_text(650.4) == "650"


@pytest.mark.parametrize(
    "line",
    [
        # best 1200 against 1100, medians 1000 and 1000
        "| large blocks of 16 MiB into a 1 MiB buffer: at least 95% of `socat -b 1M`, best against best "
        "| 109% (1200 / 1100 MiB/s) | met |",
        "| the same, at least 90% median against median | 100% (1000 / 1000 MiB/s) | met |",
        "| **dyadc, 16 MiB blocks, 1 MiB buffer** | 1200 | 1000 | 900 | 30% | 109% | 100% | 111% |",
        "| small blocks of 64 B: at least 80% of the plain ping-pong | 75% | missed |",
        "| 16 MiB | 1800.0 | 1600.0 | 112% | 1700.0 | 106% |",
        # the medians of 500 600 400 and of 2000 4000 3000 against 8000 6000 7000
        "| single blocks, receiver sleeping 1 ms between calls: at least 1000 per second | 500 blocks/s "
        "| missed: out of reach, each block needs a call and the calls are over 1 ms apart |",
        "| single blocks, a receiver that calls again at once, against plain sockets of the same shape "
        "| 43% (3000 / 7000 blocks/s) | reported |",
        "In the median run of the pausing host 6000 connection attempts of 2000 blocks were refused "
        "(runs: 6000 5000 7000).",
        # four pairings: medians of 1.0 1.1 ms and 0.6 0.7 ms
        "| the first block after pairing: median of 20 under 50 ms | 1.1 ms | met |",
        "| DyadClose after it: median of 20 under 50 ms | 0.7 ms | met |",
        # 20 pairings: every third a second longer; p90 the 18th of 20
        "DyadOpen calls returned 0, over 20 pairings: **median 0.045 s, p90 1.042 s** (max 1.048 s).",
        "| system calls per 64-byte block (strace -c) | 8.00 | 6.00 |",
        "| dyad send/receive of 1 GiB (XXH3-128): at least 80% of a socat copy (best runs) | 75% (900 / 1200 "
        "MiB/s); with --checksum sha256 42% (500 MiB/s) | missed: the two workstations share 2 cores, see *Files* |",
        "| dyad ahead of rsync | rsync not available | not measured |",
        "| memory flat: the same peak for a 1 GiB and a 4 GiB file | 25.7 MiB / 25.8 MiB (sender), "
        "25.7 MiB / 27.3 MiB (receiver) | missed |",
        "| dyad (4 MiB blocks, XXH3-128: the defaults) | 900 | 800 | 700 | 75% | 0.24 + 1.60 |",
        "XXH3-128, the default, added 0.20 s for 1 GiB and SHA-256 1.72 s; this processor",
        # 1024 MiB / ((0.02 + 1.38) s / 2 cores), and / ((0.24 + 1.60) s / 2)
        "1463 MiB/s for socat's, 1113 MiB/s for dyad's default copy and",
        "| `dyad send DIR`, 10,000 files of 4 KiB on tmpfs: at least 1.5 times rsync's files/s (best) "
        "| 0.04 (650 / 16000 files/s) | missed |",
        "| 10,000 files of 4 KiB in 100 folders | `dyad send DIR` | 650 | 585 | 2.54 | 2.29 | 0.04 | 0.04 | 0.02 |",
        "| one file of 1 GiB | `tar c DIR \\| socat` into `socat \\| tar x` | 1.00 | 0.90 | 1024 | 922 | 2.00 | 2.00 "
        "| 1.00 |",
        "| 1,000 files of 256 KiB in 10 folders on ext4, beside rsync and rsync --fsync (best) "
        "| 0.27 of rsync's, 0.80 of rsync --fsync's files/s | reported |",
        "| memory flat in the number of files: the same peak for 100,000 files as for 10,000 "
        "| 20.0 MiB / 40.0 MiB (sender), 30.0 MiB / 29.3 MiB (receiver) | missed |",
        "Failed copies (left out): dyad of 4k in round 4.",
    ],
)
def test_report_lines(results, line):
    assert line in results


def test_a_run_of_some_sections_reports_only_those(tmp_path):
    figures = tmp_path / "figures.jsonl"
    with open(os.path.join(HERE, "figures.jsonl"), encoding="utf-8") as every:
        figures.write_text("".join(line for line in every if '"section": "pair"' in line or '"section": "run"' in line))
    report.write(str(figures), str(tmp_path))
    text = (tmp_path / "RESULTS.md").read_text()
    assert "## Time to pair" in text and "| time to pair: median under 1.5 s | 0.045 s | met |" in text
    assert "## Files" not in text and "## Folders" not in text and "socat" not in text
