#!/usr/bin/env python3
"""bench/python-recv.py ID BUFFER: a small Python receiving host for the
single-block figure. It pairs as the Responder and takes blocks through the
dyadc module, one DyadRecvDataBlock call after the other, until the
Initiator closes the pairing; the time the interpreter spends between two
calls is the host's own."""
import sys

import dyadc

identifier, buffer_size = sys.argv[1], int(sys.argv[2])
with dyadc.open(identifier, role="responder", timeout=60) as link:
    count = sum(1 for _ in link.blocks(timeout=30, buffer_size=buffer_size))
print(f"received {count}")
