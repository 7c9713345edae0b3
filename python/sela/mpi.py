"""Exact sums across MPI ranks with mpi4py.

    from mpi4py import MPI
    import sela.mpi

    total = sela.mpi.sum(MPI.COMM_WORLD, local_array)   # the same bits on every rank
    acc = sela.mpi.allreduce(MPI.COMM_WORLD, sela.Accumulator(local_array))

Each rank's values go into an exact accumulator; the records (1088 bytes) are reduced
with MPI_Allreduce over a contiguous datatype of that many bytes and a commutative
user-defined MPI_Op that merges records exactly. The global sum is therefore the exact
sum of all ranks' values correctly rounded, whatever the number of ranks, the split of
the data or the order in which MPI combines the records: on every rank the bits of
sela.sum(all values, "exact").

Needs mpi4py (Debian: python3-mpi4py); imported only on request, never by `import sela`.
"""

from __future__ import annotations

from typing import Any

try:
    from mpi4py import MPI
except ImportError as e:  # pragma: no cover - depends on the machine
    raise ImportError(f"sela.mpi needs mpi4py (Debian: python3-mpi4py): {e}") from e

from . import _sela

__all__ = ["allreduce", "RECORD_TYPE", "MERGE"]

_RECORD_BYTES = len(bytes(_sela.Accumulator()))

# One accumulator record as an MPI datatype.
RECORD_TYPE = MPI.BYTE.Create_contiguous(_RECORD_BYTES).Commit()


def _merge(inbuf: Any, inoutbuf: Any, datatype: Any) -> None:
    """inoutbuf[i] += inbuf[i] for each record: commutative and associative, exactly."""
    _sela._merge_into(inoutbuf, inbuf)


# The merge of records as an MPI operation (commutative: MPI may combine in any order).
MERGE = MPI.Op.Create(_merge, commute=True)


def allreduce(comm: Any, acc: _sela.Accumulator) -> _sela.Accumulator:
    """The accumulator holding every rank's values, on every rank of comm (a collective
    call: every rank passes its own accumulator). acc itself is not changed."""
    send = bytearray(bytes(acc))
    recv = bytearray(_RECORD_BYTES)
    comm.Allreduce([send, 1, RECORD_TYPE], [recv, 1, RECORD_TYPE], op=MERGE)
    return _sela.Accumulator.from_bytes(recv)


def sum(comm: Any, local_array: Any) -> float:
    """The exact sum of every rank's local_array (any array or iterable of numbers), rounded
    once: the same float on every rank of comm (a collective call)."""
    return float(allreduce(comm, _sela.Accumulator(local_array)))
