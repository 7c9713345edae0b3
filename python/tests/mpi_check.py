"""Run under mpirun -np N: every rank sums its uneven share of one fixed data set with
sela.mpi and must get the bits of sela.sum of the whole, as must the merged accumulator;
the ranks' results must agree. Exit status 0 on success."""

import math
import random
import struct
import sys

from mpi4py import MPI

import sela
import sela.mpi


def bits(x):
    return struct.pack("<d", x)


def main():
    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    rng = random.Random(2020)
    whole = [math.ldexp(rng.uniform(-1, 1), rng.randint(-1000, 1000)) for _ in range(20000)]
    whole += [-v for v in whole[:9000]] + [1e308, 1e308, -1e308, 5e-324]
    rng.shuffle(whole)
    failures = []
    for trial in range(6):
        # Uneven cuts, the same on every rank; some shares may be empty.
        cuts = sorted(rng.randint(0, len(whole)) for _ in range(size - 1))
        if trial == 0:
            cuts = [0] * (size - 1)  # everything on the last rank
        bounds = [0] + cuts + [len(whole)]
        mine = whole[bounds[rank]:bounds[rank + 1]]
        want = sela.sum(whole, "exact")
        got = sela.mpi.sum(comm, mine)
        acc = sela.mpi.allreduce(comm, sela.Accumulator(mine))
        if bits(got) != bits(want) or bits(float(acc)) != bits(want):
            failures.append(f"trial {trial}: rank {rank} got {got!r} and {float(acc)!r}, want {want!r}")
        everyone = comm.allgather(bits(got))
        if len(set(everyone)) != 1:
            failures.append(f"trial {trial}: ranks disagree")
        # The mean from the same records: the global exact sum divided by the count.
        n = comm.allreduce(len(mine))
        if bits(acc.round_divided(n)) != bits(sela.mean(whole)):
            failures.append(f"trial {trial}: rank {rank} mean differs")
    for f in failures:
        print(f, file=sys.stderr)
    if rank == 0 and not failures:
        print(f"sela.mpi: {size} ranks, every rank has the exact sum's bits")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
