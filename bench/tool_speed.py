#!/usr/bin/env python3
"""Throughput of the sela tool on files in the page cache.

Writes a 10^8-element float64 .npy file and a text file of decimals (by default
1.5 * 10^7 numbers, about 300 MB), then times the tool on them, best and median of
several runs after a warm-up run that brings the files into the page cache:

  sela sum --method exact big.npy     bytes of the file per second (target: 2 GB/s)
  sela sum --method naive big.npy     the same file, plain loop, for comparison
  sela sum --method exact big.txt     bytes of text per second (target: 100 MB/s)

Usage: bench/tool_speed.py path/to/sela [--elements N] [--text-elements N]
       [--repeat R] [--dir DIR] [--threads T]
"""
import argparse
import array
import os
import random
import statistics
import struct
import subprocess
import tempfile
import time


def write_npy(path, n):
    header = "{'descr': '<f8', 'fortran_order': False, 'shape': (%d,), }" % n
    while (10 + len(header) + 1) % 64:
        header += " "
    header += "\n"
    rng = random.Random(1)
    block = array.array("d", (rng.uniform(-1.0, 1.0) * 2.0 ** rng.randint(-30, 30) for _ in range(1 << 20)))
    with open(path, "wb") as f:
        f.write(b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode())
        left = n
        while left > 0:
            take = min(left, len(block))
            block[:take].tofile(f)
            left -= take


def write_text(path, n):
    rng = random.Random(2)
    lines = ["%r" % (rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-20, 20)) for _ in range(1 << 16)]
    chunk = ("\n".join(lines) + "\n").encode()
    with open(path, "wb") as f:
        left = n
        while left > 0:
            take = min(left, len(lines))
            f.write(chunk if take == len(lines) else ("\n".join(lines[:take]) + "\n").encode())
            left -= take


def timed(cmd, repeat):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)  # warm-up: page cache
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("sela")
    parser.add_argument("--elements", type=int, default=10 ** 8)
    parser.add_argument("--text-elements", type=int, default=15 * 10 ** 6)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--threads", type=str, default=None)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        npy, txt = os.path.join(d, "big.npy"), os.path.join(d, "big.txt")
        write_npy(npy, args.elements)
        write_text(txt, args.text_elements)
        threads = ["--threads", args.threads] if args.threads else []
        for label, path, method in (("npy exact", npy, "exact"), ("npy naive", npy, "naive"),
                                    ("text exact", txt, "exact")):
            size = os.path.getsize(path)
            best, median = timed([args.sela, "sum", path, "--method", method] + threads, args.repeat)
            print("%-10s %6.0f MB  best %6.3f s  %8.1f MB/s   median %6.3f s  %8.1f MB/s"
                  % (label, size / 1e6, best, size / best / 1e6, median, size / median / 1e6))


if __name__ == "__main__":
    main()
