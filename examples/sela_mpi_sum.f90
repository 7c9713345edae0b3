! sela_mpi_sum (Fortran): the exact sum of one fixed data set split unevenly over the MPI
! ranks, reduced as accumulator records with mpi_f08.
!
! Every rank builds the same data (the generator of sela_mpi_sum.c), takes an uneven slice
! (rank r gets a share proportional to r + 1), adds it to its own accumulator, and the
! records are merged by MPI_Allreduce with a user-defined commutative operation. Each rank
! then checks that the reduced total is sela_sum_exact of the whole data set, and that all
! ranks hold the same bits.
!
! Build: gfortran -c sela.f90; mpifort sela_mpi_sum.f90 sela.o -lsela
! Run:   mpirun -np 4 ./sela_mpi_sum_fortran     Exit status 0 when every check passes.

! What a program needs to reduce records: the record's datatype and the merge operation.
module sela_mpi_records
  use, intrinsic :: iso_c_binding, only: c_f_pointer, c_ptr, c_sizeof
  use mpi_f08
  use sela
  implicit none
  private
  public :: sela_mpi_allreduce_accumulator

  ! The datatype the operation was created for; the merge refuses any other.
  type(MPI_Datatype), save :: record_type

contains

  ! inoutvec(i) = invec(i) merged with inoutvec(i). Merging is commutative and associative,
  ! so MPI may combine the records in any tree. A failed merge (an invalid record on either
  ! side) zeroes the result, which is invalid, so it cannot pass for a partial total.
  subroutine merge_records(invec, inoutvec, len, datatype)
    type(c_ptr), value :: invec, inoutvec
    integer :: len
    type(MPI_Datatype) :: datatype
    type(sela_accumulator), pointer :: a(:), b(:)
    integer :: i
    if (datatype /= record_type) call MPI_Abort(MPI_COMM_WORLD, 3)
    call c_f_pointer(invec, a, [len])
    call c_f_pointer(inoutvec, b, [len])
    do i = 1, len
      if (sela_accumulator_merge(b(i), a(i)) /= 0) b(i)%opaque = 0
    end do
  end subroutine merge_records

  ! Replaces acc on every rank of comm by the merge of all ranks' records (a collective
  ! call). The record travels as its bytes: a contiguous datatype of c_sizeof(acc) bytes,
  ! the same on every rank of one major version and byte order.
  subroutine sela_mpi_allreduce_accumulator(acc, comm, ierror)
    type(sela_accumulator), intent(inout) :: acc
    type(MPI_Comm), intent(in) :: comm
    integer, intent(out) :: ierror
    type(MPI_Op) :: merge
    call MPI_Type_contiguous(int(c_sizeof(acc)), MPI_BYTE, record_type, ierror)
    if (ierror /= MPI_SUCCESS) return
    call MPI_Type_commit(record_type, ierror)
    if (ierror == MPI_SUCCESS) call MPI_Op_create(merge_records, .true., merge, ierror)
    if (ierror == MPI_SUCCESS) then
      call MPI_Allreduce(MPI_IN_PLACE, acc, 1, record_type, merge, comm, ierror)
      call MPI_Op_free(merge)
    end if
    call MPI_Type_free(record_type)
  end subroutine sela_mpi_allreduce_accumulator

end module sela_mpi_records

program sela_mpi_sum_fortran
  use, intrinsic :: iso_c_binding, only: c_double, c_int64_t
  use mpi_f08
  use sela
  use sela_mpi_records
  implicit none
  integer, parameter :: count = 200003
  real(c_double), allocatable :: x(:), all_totals(:)
  real(c_double) :: total, whole
  type(sela_accumulator) :: acc
  integer :: rank, nranks, first, last, ierror, weight, before
  logical :: ok

  call MPI_Init()
  call MPI_Comm_rank(MPI_COMM_WORLD, rank)
  call MPI_Comm_size(MPI_COMM_WORLD, nranks)
  allocate(x(count), all_totals(nranks))
  call make_data(x)

  ! Rank r's share is (r + 1) / (1 + 2 + ... + nranks) of the data: x(first:last).
  weight = nranks * (nranks + 1) / 2
  before = rank * (rank + 1) / 2
  first = int(int(count, c_int64_t) * before / weight) + 1
  last = int(int(count, c_int64_t) * (before + rank + 1) / weight)

  call sela_accumulator_init(acc)
  ok = sela_add(acc, x(first:last)) == 0
  call sela_mpi_allreduce_accumulator(acc, MPI_COMM_WORLD, ierror)
  ok = ok .and. ierror == MPI_SUCCESS
  total = sela_accumulator_round(acc)
  whole = sela_sum(x)
  ok = ok .and. same(total, whole)

  ! Every rank must hold the same bits.
  call MPI_Allgather(total, 1, MPI_DOUBLE_PRECISION, all_totals, 1, MPI_DOUBLE_PRECISION, MPI_COMM_WORLD)
  ok = ok .and. all(transfer(all_totals, 0_c_int64_t, nranks) == transfer(total, 0_c_int64_t))

  print '(a, i0, a, i0, a, i0, a, i0, a, es25.17, a, es25.17, a, a)', 'rank ', rank, ' of ', nranks, &
    ': values [', first, ', ', last, '], total ', total, ', sela_sum ', whole, ': ', trim(merge('ok      ', 'MISMATCH', ok))
  call MPI_Allreduce(MPI_IN_PLACE, ok, 1, MPI_LOGICAL, MPI_LAND, MPI_COMM_WORLD)
  call MPI_Finalize()
  if (.not. ok) error stop 1

contains

  ! Wide magnitudes, both signs, exact cancellation (every 7th value cancels an earlier
  ! one) and pairs of values near the top of the range that cancel only in the exact sum.
  ! A xorshift generator on the bits of a 64-bit integer (ishft shifts logically).
  subroutine make_data(v)
    real(c_double), intent(out) :: v(:)
    integer(c_int64_t) :: s
    real(c_double) :: m
    integer :: i
    s = ior(ishft(int(z'9E3779B9', c_int64_t), 32), int(z'7F4A7C15', c_int64_t))
    do i = 1, size(v)
      s = ieor(s, ishft(s, 13))
      s = ieor(s, ishft(s, -7))
      s = ieor(s, ishft(s, 17))
      m = real(ishft(s, -11), c_double) * scale(1.0_c_double, -53)
      v(i) = scale(merge(-m, m, iand(s, 1_c_int64_t) == 1), int(mod(ishft(s, -3), 241_c_int64_t)) - 120)
    end do
    do i = 7, size(v), 7
      v(i) = -v((i - 1) / 2 + 1)
    end do
    ! Pairs of huge values that cancel, far apart: a running double sum overflows.
    do i = 18, size(v) - 100001, 50001
      v(i:i + 1) = 1e308_c_double
      v(i + 100000:i + 100001) = -1e308_c_double
    end do
  end subroutine make_data

  logical function same(a, b)
    real(c_double), intent(in) :: a, b
    same = transfer(a, 0_c_int64_t) == transfer(b, 0_c_int64_t)
  end function same

end program sela_mpi_sum_fortran
