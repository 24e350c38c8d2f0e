#!/usr/bin/env python3
"""Writes a file that looks like a process full dump to a compressor.

Usage: make_dump_like.py OUTPUT [SIZE_MIB]   (default 1024 MiB)

A full dump is mostly untouched (zero) pages, some pages of high-entropy data
(heap contents, compressed or encrypted buffers) and some of repeated text
(strings, logs, symbol names). The pages are laid out in runs, as mappings are,
and the sequence is seeded so that every run of the benchmark zips the same
bytes.
"""

import os
import random
import sys

PAGE = 4096
CHUNK_PAGES = 256  # 1 MiB per write

# Share of pages per kind, and the longest run of one kind.
ZERO_SHARE = 0.70
RANDOM_SHARE = 0.15
MAX_RUN = 64

TEXT = (
    b"ERROR 2024-05-17T10:42:13.118 [worker-7] request failed: connection reset by peer; "
    b"retrying in 500 ms (attempt 3 of 5) /opt/app/lib/libnetwork.so.3 "
    b"std::vector<std::shared_ptr<Session>>::_M_realloc_insert "
)


def text_page(rng):
    start = rng.randrange(len(TEXT))
    body = (TEXT[start:] + TEXT) * (PAGE // len(TEXT) + 2)
    return body[:PAGE]


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    path = sys.argv[1]
    total_pages = (int(sys.argv[2]) if len(sys.argv) > 2 else 1024) * (1 << 20) // PAGE
    rng = random.Random(20240517)
    zero = bytes(PAGE)
    written = 0
    kind, run_left = None, 0
    with open(path, "wb") as out:
        while written < total_pages:
            pages = []
            for _ in range(min(CHUNK_PAGES, total_pages - written)):
                if run_left == 0:
                    r = rng.random()
                    kind = "zero" if r < ZERO_SHARE else "random" if r < ZERO_SHARE + RANDOM_SHARE else "text"
                    run_left = rng.randint(1, MAX_RUN)
                run_left -= 1
                if kind == "zero":
                    pages.append(zero)
                elif kind == "random":
                    pages.append(os.urandom(PAGE))
                else:
                    pages.append(text_page(rng))
            out.write(b"".join(pages))
            written += len(pages)


if __name__ == "__main__":
    main()
