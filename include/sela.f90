! sela — Fortran interface to the sela library: module sela.
!
! Shipped as source, like sela.h: compile it with your own Fortran compiler (any Fortran
! 2003 compiler), so no compiler-specific .mod file is installed, and link with libsela:
!
!     gfortran -c /usr/include/sela.f90          ! makes sela.mod and sela.o
!     gfortran prog.f90 sela.o -lsela            ! prog.f90 says "use sela"
!
! Every export of sela.h is declared here under its C name, with C's arguments in C's
! order: arrays are real(c_double) x(*), so any contiguous array of any rank may be passed
! (a non-contiguous section is packed into a temporary by the compiler); counts are
! integer(c_int64_t) passed by value; the orders K of sela_sum_k and sela_dot_k are
! integer(c_int32_t) by value. Each function's contract (result, error bound, specials,
! empty input, allocation) is the one stated in sela.h; the results are the same bits.
!
! Counts: C takes them as uint64_t, and Fortran has no unsigned integers. An
! integer(c_int64_t) has the same 64 bits, so the counts 0 to huge(0_c_int64_t) = 2^63 - 1
! mean what they say, which covers every array a Fortran program can hold. A negative
! count reaches C as a count of 2^63 or more, which the library takes as 2^63 - 1: it
! would read far beyond the array. Never pass one; the generic functions below take the
! count from size(), which is never negative.
!
! Generic functions over assumed-shape arrays of rank 1, 2 or 3 (contiguous or not; array
! element order, as sum() and pack() use), for the results that do not depend on how the
! data is ordered, split or laid out, nor on the processor:
!
!   sela_sum(x)                    the exact sum, correctly rounded (sela_sum_exact)
!   sela_dot(x, y)                 the exact dot product (sela_dot_exact); the quiet NaN
!                                  (bits 0x7FF8000000000000) when the shapes differ
!   sela_add(acc, x)               sela_accumulator_add of all of x
!   sela_add_products(acc, x, y)   sela_accumulator_add_products; -1, changing nothing,
!                                  also when the shapes differ
!   sela_version_text()            sela_version() as a Fortran string ("1.1.0")
!
! The exact sum is the generic sela_sum because it is the one sum that gives the same bits
! for any order, split over threads or MPI ranks, and processor; it takes time linear in
! size(x). Higher ranks: sela_sum_exact(a, size(a, kind=c_int64_t)) accepts any rank.
!
! The accumulator: type(sela_accumulator) is the C record (136 64-bit words, 1088 bytes,
! no pointers), so its bytes travel in MPI messages (see examples/sela_mpi_sum.f90) and
! files written by the same major version on the same byte order. Its words are not an
! interface: change them only through the sela_accumulator_* functions. One difference
! from C: Fortran forbids passing one variable as both arguments of
! sela_accumulator_merge (acc is modified, other is read); to double a record, merge a
! copy.
module sela
  use, intrinsic :: iso_c_binding, only: c_bool, c_char, c_double, c_f_pointer, c_int, c_int32_t, &
                                         c_int64_t, c_ptr, c_size_t
  implicit none
  private

  public :: sela_accumulator, sela_kernel_result
  public :: sela_version, sela_two_sum
  public :: sela_sum_naive, sela_sum_pairwise, sela_sum_pairwise_iterative
  public :: sela_sum_kahan, sela_sum_neumaier, sela_sum_klein, sela_sum_shewchuk, sela_sum_exact
  public :: sela_sum_oro, sela_sum_k, sela_sum_acc, sela_sum_near, sela_condition_number
  public :: sela_dot_exact, sela_dot_naive, sela_dot2, sela_dot_k
  public :: dispatchNaiveDotAvx2, dispatchNaiveDotAvx512, dispatchDot2Avx2, dispatchDot2Avx512
  public :: dispatchDotK3Avx2, dispatchDotK3Avx512
  public :: sela_accumulator_init, sela_accumulator_add, sela_accumulator_add_products
  public :: sela_accumulator_merge, sela_accumulator_round
  public :: sela_norm_scaled, sela_mean_scaled, sela_centered_sum_squares
  public :: sela_centered_cross_product, sela_centered_cosine_similarity
  public :: sela_centered_projection_coefficient
  public :: sela_sum, sela_dot, sela_add, sela_add_products, sela_version_text

  ! The C record, word for word: uint64_t opaque[136], 8-byte aligned.
  type, bind(C) :: sela_accumulator
    integer(c_int64_t) :: opaque(136)
  end type sela_accumulator

  ! A vector kernel's result: accepted = .false. when value must not be used.
  type, bind(C) :: sela_kernel_result
    real(c_double) :: value
    logical(c_bool) :: accepted
  end type sela_kernel_result

  ! The reductions have no side effects (a failed allocation ends the process), so they are
  ! declared pure and may be called from pure procedures and do concurrent.
  interface
    ! ---- Library
    function sela_version() bind(C) result(text)
      import :: c_ptr
      type(c_ptr) :: text
    end function sela_version

    pure subroutine sela_two_sum(a, b, sum, err) bind(C)
      import :: c_double
      real(c_double), value, intent(in) :: a, b
      real(c_double), intent(out) :: sum, err
    end subroutine sela_two_sum

    ! ---- Plain, compensated, exact, cascaded and faithful sums
    pure function sela_sum_naive(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_naive

    pure function sela_sum_pairwise(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_pairwise

    pure function sela_sum_pairwise_iterative(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_pairwise_iterative

    pure function sela_sum_kahan(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_kahan

    pure function sela_sum_neumaier(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_neumaier

    pure function sela_sum_klein(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_klein

    pure function sela_sum_shewchuk(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_shewchuk

    pure function sela_sum_exact(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_exact

    pure function sela_sum_oro(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_oro

    pure function sela_sum_k(x, n, k) bind(C) result(s)
      import :: c_double, c_int32_t, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      integer(c_int32_t), value, intent(in) :: k
      real(c_double) :: s
    end function sela_sum_k

    pure function sela_sum_acc(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_acc

    pure function sela_sum_near(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_sum_near

    pure function sela_condition_number(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_condition_number

    ! ---- Dot products (sela_dot_naive, sela_dot2 and sela_dot_k with K = 3 give bits that
    ! depend on the processor's vector family; sela_dot_exact does not)
    pure function sela_dot_exact(x, y, n) bind(C) result(d)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: d
    end function sela_dot_exact

    pure function sela_dot_naive(x, y, n) bind(C) result(d)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: d
    end function sela_dot_naive

    pure function sela_dot2(x, y, n) bind(C) result(d)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: d
    end function sela_dot2

    pure function sela_dot_k(x, y, n, k) bind(C) result(d)
      import :: c_double, c_int32_t, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      integer(c_int32_t), value, intent(in) :: k
      real(c_double) :: d
    end function sela_dot_k

    ! ---- The vector kernels, no dispatch and no fallback: the Avx2 ones need AVX2 and FMA,
    ! the Avx512 ones AVX-512F; on a processor without them the call faults. The lengths
    ! are signed in C too; ny must equal nx.
    function dispatchNaiveDotAvx2(x, nx, y, ny) bind(C, name='dispatchNaiveDotAvx2') result(d)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      real(c_double) :: d
    end function dispatchNaiveDotAvx2

    function dispatchNaiveDotAvx512(x, nx, y, ny) bind(C, name='dispatchNaiveDotAvx512') result(d)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      real(c_double) :: d
    end function dispatchNaiveDotAvx512

    function dispatchDot2Avx2(x, nx, y, ny) bind(C, name='dispatchDot2Avx2') result(r)
      import :: c_double, c_int64_t, sela_kernel_result
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      type(sela_kernel_result) :: r
    end function dispatchDot2Avx2

    function dispatchDot2Avx512(x, nx, y, ny) bind(C, name='dispatchDot2Avx512') result(r)
      import :: c_double, c_int64_t, sela_kernel_result
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      type(sela_kernel_result) :: r
    end function dispatchDot2Avx512

    function dispatchDotK3Avx2(x, nx, y, ny) bind(C, name='dispatchDotK3Avx2') result(r)
      import :: c_double, c_int64_t, sela_kernel_result
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      type(sela_kernel_result) :: r
    end function dispatchDotK3Avx2

    function dispatchDotK3Avx512(x, nx, y, ny) bind(C, name='dispatchDotK3Avx512') result(r)
      import :: c_double, c_int64_t, sela_kernel_result
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: nx, ny
      type(sela_kernel_result) :: r
    end function dispatchDotK3Avx512

    ! ---- The exact accumulator: the int functions return 0, or -1 for a record that is not
    ! a valid accumulator (then nothing is changed).
    subroutine sela_accumulator_init(acc) bind(C)
      import :: sela_accumulator
      type(sela_accumulator), intent(out) :: acc
    end subroutine sela_accumulator_init

    function sela_accumulator_add(acc, x, n) bind(C) result(status)
      import :: c_double, c_int, c_int64_t, sela_accumulator
      type(sela_accumulator), intent(inout) :: acc
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      integer(c_int) :: status
    end function sela_accumulator_add

    function sela_accumulator_add_products(acc, x, y, n) bind(C) result(status)
      import :: c_double, c_int, c_int64_t, sela_accumulator
      type(sela_accumulator), intent(inout) :: acc
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      integer(c_int) :: status
    end function sela_accumulator_add_products

    function sela_accumulator_merge(acc, other) bind(C) result(status)
      import :: c_int, sela_accumulator
      type(sela_accumulator), intent(inout) :: acc
      type(sela_accumulator), intent(in) :: other
      integer(c_int) :: status
    end function sela_accumulator_merge

    pure function sela_accumulator_round(acc) bind(C) result(s)
      import :: c_double, sela_accumulator
      type(sela_accumulator), intent(in) :: acc
      real(c_double) :: s
    end function sela_accumulator_round

    ! ---- Statistics
    pure function sela_norm_scaled(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_norm_scaled

    pure function sela_mean_scaled(x, n) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double) :: s
    end function sela_mean_scaled

    pure function sela_centered_sum_squares(x, n, center) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), value, intent(in) :: center
      real(c_double) :: s
    end function sela_centered_sum_squares

    pure function sela_centered_cross_product(x, y, n, cx, cy) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), value, intent(in) :: cx, cy
      real(c_double) :: s
    end function sela_centered_cross_product

    pure function sela_centered_cosine_similarity(x, y, n, cx, cy) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), value, intent(in) :: cx, cy
      real(c_double) :: s
    end function sela_centered_cosine_similarity

    pure function sela_centered_projection_coefficient(x, y, n, cx, cy) bind(C) result(s)
      import :: c_double, c_int64_t
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), value, intent(in) :: cx, cy
      real(c_double) :: s
    end function sela_centered_projection_coefficient

    ! The C library's strlen, to measure the version text.
    function c_strlen(text) bind(C, name='strlen') result(n)
      import :: c_ptr, c_size_t
      type(c_ptr), value, intent(in) :: text
      integer(c_size_t) :: n
    end function c_strlen
  end interface

  ! Passing an assumed-shape array to the x(*) dummies below is sequence association: the
  ! compiler passes the array itself when it is contiguous and a packed copy otherwise, so
  ! strided sections give the same bits as their packed values.
  interface sela_sum
    module procedure sum_rank1, sum_rank2, sum_rank3
  end interface sela_sum

  interface sela_dot
    module procedure dot_rank1, dot_rank2, dot_rank3
  end interface sela_dot

  interface sela_add
    module procedure add_rank1, add_rank2, add_rank3
  end interface sela_add

  interface sela_add_products
    module procedure add_products_rank1, add_products_rank2, add_products_rank3
  end interface sela_add_products

  ! The library's quiet NaN, returned for a value error (here: shapes that differ).
  real(c_double), parameter :: quiet_nan = transfer(int(z'7FF8000000000000', c_int64_t), 0.0_c_double)

contains

  pure function sum_rank1(x) result(s)
    real(c_double), intent(in) :: x(:)
    real(c_double) :: s
    s = sela_sum_exact(x, size(x, kind=c_int64_t))
  end function sum_rank1

  pure function sum_rank2(x) result(s)
    real(c_double), intent(in) :: x(:, :)
    real(c_double) :: s
    s = sela_sum_exact(x, size(x, kind=c_int64_t))
  end function sum_rank2

  pure function sum_rank3(x) result(s)
    real(c_double), intent(in) :: x(:, :, :)
    real(c_double) :: s
    s = sela_sum_exact(x, size(x, kind=c_int64_t))
  end function sum_rank3

  pure function dot_rank1(x, y) result(d)
    real(c_double), intent(in) :: x(:), y(:)
    real(c_double) :: d
    d = quiet_nan
    if (size(x) == size(y)) d = sela_dot_exact(x, y, size(x, kind=c_int64_t))
  end function dot_rank1

  pure function dot_rank2(x, y) result(d)
    real(c_double), intent(in) :: x(:, :), y(:, :)
    real(c_double) :: d
    d = quiet_nan
    if (all(shape(x) == shape(y))) d = sela_dot_exact(x, y, size(x, kind=c_int64_t))
  end function dot_rank2

  pure function dot_rank3(x, y) result(d)
    real(c_double), intent(in) :: x(:, :, :), y(:, :, :)
    real(c_double) :: d
    d = quiet_nan
    if (all(shape(x) == shape(y))) d = sela_dot_exact(x, y, size(x, kind=c_int64_t))
  end function dot_rank3

  function add_rank1(acc, x) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:)
    integer(c_int) :: status
    status = sela_accumulator_add(acc, x, size(x, kind=c_int64_t))
  end function add_rank1

  function add_rank2(acc, x) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:, :)
    integer(c_int) :: status
    status = sela_accumulator_add(acc, x, size(x, kind=c_int64_t))
  end function add_rank2

  function add_rank3(acc, x) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:, :, :)
    integer(c_int) :: status
    status = sela_accumulator_add(acc, x, size(x, kind=c_int64_t))
  end function add_rank3

  function add_products_rank1(acc, x, y) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:), y(:)
    integer(c_int) :: status
    status = -1
    if (size(x) == size(y)) status = sela_accumulator_add_products(acc, x, y, size(x, kind=c_int64_t))
  end function add_products_rank1

  function add_products_rank2(acc, x, y) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:, :), y(:, :)
    integer(c_int) :: status
    status = -1
    if (all(shape(x) == shape(y))) status = sela_accumulator_add_products(acc, x, y, size(x, kind=c_int64_t))
  end function add_products_rank2

  function add_products_rank3(acc, x, y) result(status)
    type(sela_accumulator), intent(inout) :: acc
    real(c_double), intent(in) :: x(:, :, :), y(:, :, :)
    integer(c_int) :: status
    status = -1
    if (all(shape(x) == shape(y))) status = sela_accumulator_add_products(acc, x, y, size(x, kind=c_int64_t))
  end function add_products_rank3

  ! sela_version() points at a constant NUL-terminated text in the library.
  function sela_version_text() result(text)
    character(len=:), allocatable :: text
    character(kind=c_char), pointer :: chars(:)
    type(c_ptr) :: p
    integer :: i, n
    p = sela_version()
    n = int(c_strlen(p))
    call c_f_pointer(p, chars, [n])
    allocate(character(len=n) :: text)
    do i = 1, n
      text(i:i) = chars(i)
    end do
  end function sela_version_text

end module sela
