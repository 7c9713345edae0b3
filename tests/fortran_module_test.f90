! Every interface of the Fortran module against the same call made from C (fortran_shim.c),
! bit for bit: argument order, by-value counts and centers, the record's layout, and the
! generic functions on strided, reversed and multi-dimensional sections, which must give
! what C gives for the packed values.
program fortran_module_test
  use, intrinsic :: iso_c_binding, only: c_bool, c_char, c_double, c_int, c_int32_t, c_int64_t, &
                                         c_null_char, c_sizeof
  use sela
  implicit none

  interface
    function shim_reduce(which, x, y, n, cx, cy, k) bind(C) result(r)
      import :: c_double, c_int32_t, c_int64_t
      integer(c_int32_t), value, intent(in) :: which, k
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), value, intent(in) :: cx, cy
      real(c_double) :: r
    end function shim_reduce
    function shim_kernel(which, x, y, n, value, accepted) bind(C) result(ran)
      import :: c_bool, c_double, c_int32_t, c_int64_t
      integer(c_int32_t), value, intent(in) :: which
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      real(c_double), intent(out) :: value
      logical(c_bool), intent(out) :: accepted
      logical(c_bool) :: ran
    end function shim_kernel
    subroutine shim_two_sum(a, b, sum, err) bind(C)
      import :: c_double
      real(c_double), value, intent(in) :: a, b
      real(c_double), intent(out) :: sum, err
    end subroutine shim_two_sum
    function shim_accumulator_fill(acc, x, y, n) bind(C) result(status)
      import :: c_double, c_int, c_int64_t, sela_accumulator
      type(sela_accumulator), intent(out) :: acc
      real(c_double), intent(in) :: x(*), y(*)
      integer(c_int64_t), value, intent(in) :: n
      integer(c_int) :: status
    end function shim_accumulator_fill
    function shim_accumulator_round(acc) bind(C) result(s)
      import :: c_double, sela_accumulator
      type(sela_accumulator), intent(in) :: acc
      real(c_double) :: s
    end function shim_accumulator_round
    function shim_accumulator_size() bind(C) result(bytes)
      import :: c_int64_t
      integer(c_int64_t) :: bytes
    end function shim_accumulator_size
    function shim_accumulator_alignment() bind(C) result(bytes)
      import :: c_int64_t
      integer(c_int64_t) :: bytes
    end function shim_accumulator_alignment
    subroutine shim_version_macros(text, size) bind(C)
      import :: c_char, c_int32_t
      character(kind=c_char), intent(out) :: text(*)
      integer(c_int32_t), value, intent(in) :: size
    end subroutine shim_version_macros
  end interface

  integer, parameter :: max_n = 3001
  integer, parameter :: lengths(5) = [0, 1, 7, 130, max_n]
  real(c_double), parameter :: quiet_nan = transfer(int(z'7FF8000000000000', c_int64_t), 0.0_c_double)
  real(c_double) :: x(max_n), y(max_n), grid(7, 11, 5), cols(7, 11)
  integer :: failures = 0, kernel_calls = 0, i, j, which, n

  call fill(x, size(x), 1_c_int64_t)
  call fill(y, size(y), 2_c_int64_t)
  call fill(grid, size(grid), 3_c_int64_t)

  ! Each export through the module and through C, on lengths from empty to past the
  ! pairwise block and the vector widths, with distinct x and y, centers and orders K.
  do i = 1, size(lengths)
    n = lengths(i)
    do which = 1, 23
      do j = -1, 5, 3
        call check(same(reduce_here(which, j, n), &
                        shim_reduce(which, x, y, int(n, c_int64_t), 0.375_c_double, -3.5_c_double, j)), &
                   'export', which * 1000000 + n * 10 + (j + 1))
      end do
    end do
    do which = 1, 6
      call check_kernel(which, n)
    end do
  end do

  call check_two_sum(1.0_c_double, scale(1.0_c_double, -60))
  call check_two_sum(1.0e308_c_double, -3.0_c_double)
  call check_two_sum(huge(1.0_c_double), huge(1.0_c_double))
  call check_two_sum(-huge(1.0_c_double), 1.0_c_double / tiny(1.0_c_double))

  call check_generics()
  call check_accumulator()
  call check_version()

  if (failures /= 0) then
    print '(i0, a)', failures, ' failures'
    error stop 1
  end if
  print '(a, i0, a)', 'every module interface gives the bits C gives (', kernel_calls, &
    ' kernel calls: the vector kernels this processor runs)'

contains

  ! A fixed xorshift generator: magnitudes over 2^-60 .. 2^60, both signs, and every fifth
  ! value the negation of the one three places before, so sums that depend on the order
  ! differ from the exact one.
  subroutine fill(v, total, seed)
    integer, intent(in) :: total
    real(c_double), intent(out) :: v(total)
    integer(c_int64_t), intent(in) :: seed
    integer(c_int64_t) :: s
    integer :: k
    real(c_double) :: m
    s = seed * 1000003_c_int64_t + 12345_c_int64_t
    do k = 1, total
      s = ieor(s, ishft(s, 13))
      s = ieor(s, ishft(s, -7))
      s = ieor(s, ishft(s, 17))
      m = real(ishft(s, -11), c_double) * scale(1.0_c_double, -53)
      v(k) = scale(merge(-m, m, iand(s, 1_c_int64_t) == 1), int(mod(ishft(s, -3), 121_c_int64_t)) - 60)
    end do
    do k = 5, total, 5
      v(k) = -v(k - 3)
    end do
  end subroutine fill

  logical function same(a, b)
    real(c_double), intent(in) :: a, b
    same = transfer(a, 0_c_int64_t) == transfer(b, 0_c_int64_t)
  end function same

  subroutine check(ok, what, detail)
    logical, intent(in) :: ok
    character(len=*), intent(in) :: what
    integer, intent(in) :: detail
    if (.not. ok) then
      failures = failures + 1
      print '(a, a, i0)', 'FAILED: ', what, detail
    end if
  end subroutine check

  ! The module's interface for export number `which` (the numbering of shim_reduce).
  function reduce_here(which, k, n) result(r)
    integer, intent(in) :: which, k, n
    real(c_double) :: r
    integer(c_int64_t) :: m
    real(c_double), parameter :: cx = 0.375_c_double, cy = -3.5_c_double
    m = int(n, c_int64_t)
    select case (which)
    case (1); r = sela_sum_naive(x, m)
    case (2); r = sela_sum_pairwise(x, m)
    case (3); r = sela_sum_pairwise_iterative(x, m)
    case (4); r = sela_sum_kahan(x, m)
    case (5); r = sela_sum_neumaier(x, m)
    case (6); r = sela_sum_klein(x, m)
    case (7); r = sela_sum_shewchuk(x, m)
    case (8); r = sela_sum_exact(x, m)
    case (9); r = sela_sum_oro(x, m)
    case (10); r = sela_sum_k(x, m, int(k, c_int32_t))
    case (11); r = sela_sum_acc(x, m)
    case (12); r = sela_sum_near(x, m)
    case (13); r = sela_condition_number(x, m)
    case (14); r = sela_dot_exact(x, y, m)
    case (15); r = sela_dot_naive(x, y, m)
    case (16); r = sela_dot2(x, y, m)
    case (17); r = sela_dot_k(x, y, m, int(k, c_int32_t))
    case (18); r = sela_norm_scaled(x, m)
    case (19); r = sela_mean_scaled(x, m)
    case (20); r = sela_centered_sum_squares(x, m, cx)
    case (21); r = sela_centered_cross_product(x, y, m, cx, cy)
    case (22); r = sela_centered_cosine_similarity(x, y, m, cx, cy)
    case (23); r = sela_centered_projection_coefficient(x, y, m, cx, cy)
    case default; r = 0.0_c_double
    end select
  end function reduce_here

  ! The kernels only where C says this processor runs them.
  subroutine check_kernel(which, n)
    integer, intent(in) :: which, n
    integer(c_int64_t) :: m
    real(c_double) :: value
    logical(c_bool) :: accepted
    type(sela_kernel_result) :: r
    m = int(n, c_int64_t)
    if (.not. shim_kernel(int(which, c_int32_t), x, y, m, value, accepted)) return
    kernel_calls = kernel_calls + 1
    r%accepted = .true.
    select case (which)
    case (1); r%value = dispatchNaiveDotAvx2(x, m, y, m)
    case (2); r%value = dispatchNaiveDotAvx512(x, m, y, m)
    case (3); r = dispatchDot2Avx2(x, m, y, m)
    case (4); r = dispatchDot2Avx512(x, m, y, m)
    case (5); r = dispatchDotK3Avx2(x, m, y, m)
    case (6); r = dispatchDotK3Avx512(x, m, y, m)
    end select
    call check(same(r%value, value) .and. (r%accepted .eqv. accepted), 'kernel', which * 10000 + n)
  end subroutine check_kernel

  subroutine check_two_sum(a, b)
    real(c_double), intent(in) :: a, b
    real(c_double) :: s, e, cs, ce
    call sela_two_sum(a, b, s, e)
    call shim_two_sum(a, b, cs, ce)
    call check(same(s, cs) .and. same(e, ce), 'two_sum', exponent(a))
  end subroutine check_two_sum

  ! The generics on sections the compiler must pack: strided, reversed, and slices of a
  ! rank-3 array, against C on the values gathered by pack(); shapes that differ give the
  ! quiet NaN.
  subroutine check_generics()
    integer :: k
    call check(same(sela_sum(x(2:max_n:3)), c_on_packed(8, pack(x(2:max_n:3), .true.), y)), 'sum strided', 1)
    call check(same(sela_dot(x(2:max_n:3), y(max_n:2:-3)), &
                    c_on_packed(14, pack(x(2:max_n:3), .true.), pack(y(max_n:2:-3), .true.))), 'dot strided, reversed', 1)
    call check(same(sela_sum(grid(2:6, 1:11:2, 3)), c_on_packed(8, pack(grid(2:6, 1:11:2, 3), .true.), y)), 'sum rank 2', 1)
    call check(same(sela_dot(grid(2:6, 1:11:2, 3), grid(3:7, 11:1:-2, 5)), &
                    c_on_packed(14, pack(grid(2:6, 1:11:2, 3), .true.), pack(grid(3:7, 11:1:-2, 5), .true.))), 'dot rank 2', 1)
    call check(same(sela_sum(grid(1:7:2, :, 2:5)), c_on_packed(8, pack(grid(1:7:2, :, 2:5), .true.), y)), 'sum rank 3', 1)
    call check(same(sela_dot(grid(1:7:2, :, 2:5), grid(7:1:-2, :, 1:4)), &
                    c_on_packed(14, pack(grid(1:7:2, :, 2:5), .true.), pack(grid(7:1:-2, :, 1:4), .true.))), 'dot rank 3', 1)
    call check(same(sela_sum(x(1:0)), 0.0_c_double) .and. same(sela_dot(x(1:0), y(1:0)), 0.0_c_double), 'empty', 1)
    call check(same(sela_dot(x(1:5), y(1:6)), quiet_nan), 'dot of different sizes', 1)
    call check(same(sela_dot(grid(1:2, 1:3, 1), grid(1:3, 1:2, 1)), quiet_nan), 'dot of different shapes', 2)
    call check(same(sela_dot(grid(1:2, 1:3, 1:1), grid(1:3, 1:2, 1:1)), quiet_nan), 'dot of different shapes', 3)
    ! The generics are pure: column sums in a do concurrent, each the exact sum of its column.
    do concurrent (j = 1:11, k = 1:7)
      cols(k, j) = sela_sum(grid(k, j, :))
    end do
    do k = 1, 7
      call check(same(cols(k, 4), c_on_packed(8, pack(grid(k, 4, :), .true.), y)), 'pure column sum', k)
    end do
  end subroutine check_generics

  ! C's export `which` (sums and dots without centers or K) on contiguous arrays; xs sets
  ! the count.
  function c_on_packed(which, xs, ys) result(r)
    integer, intent(in) :: which
    real(c_double), intent(in) :: xs(:), ys(:)
    real(c_double) :: r
    r = shim_reduce(int(which, c_int32_t), xs, ys, size(xs, kind=c_int64_t), 0.0_c_double, 0.0_c_double, 0_c_int32_t)
  end function c_on_packed

  ! Records made in Fortran and in C hold the same words; a merge of the two rounds to C's
  ! exact sum of everything added, in Fortran and in C; invalid records are refused.
  subroutine check_accumulator()
    type(sela_accumulator) :: here, there, copy, zeroed
    real(c_double) :: expected, rounded(3)
    integer(c_int64_t) :: bytes, alignment
    integer(c_int) :: statuses(3)
    integer :: k
    bytes = shim_accumulator_size()
    alignment = shim_accumulator_alignment()
    call check(c_sizeof(here) == bytes .and. storage_size(here) == 8 * 1088 .and. alignment == 8, &
               'record size', int(c_sizeof(here)))
    ! The same calls from Fortran and from C give the same words (x, then the products).
    call sela_accumulator_init(here)
    statuses(1:2) = [sela_add(here, x), sela_add_products(here, x, y)]
    k = shim_accumulator_fill(there, x, y, int(max_n, c_int64_t))
    call check(all(statuses(1:2) == 0) .and. k == 0 .and. all(here%opaque == there%opaque), 'the same record', k)
    ! The same values in other chunks (two strided, one from an array element on) may leave
    ! other words but hold the same value.
    call sela_accumulator_init(copy)
    statuses = [sela_add(copy, x(1:1000)), sela_add(copy, x(1001:max_n:2)), sela_add(copy, x(1002:max_n:2))]
    k = sela_add_products(copy, x(1:10), y(1:10))
    k = k + sela_accumulator_add_products(copy, x(11), y(11), int(max_n - 10, c_int64_t))
    call check(all(statuses == 0) .and. k == 0 .and. same(sela_accumulator_round(copy), sela_accumulator_round(here)), &
               'chunked adds', k)
    ! Merge the C record into the Fortran one: everything twice. Doubling an exact value and
    ! rounding commute in the normal range, and the values and products added are C's
    ! exact dot product of [x, x] with [1, y].
    call check(sela_accumulator_merge(here, there) == 0, 'merge', 0)
    expected = 2.0_c_double * c_on_packed(14, [x, x], [spread(1.0_c_double, 1, max_n), y])
    rounded = [sela_accumulator_round(here), shim_accumulator_round(here), 2.0_c_double * shim_accumulator_round(there)]
    call check(all(transfer(rounded, 0_c_int64_t, 3) == transfer(expected, 0_c_int64_t)), 'merged record rounds as C', 0)
    ! Rank 3 through the generic: the words of the packed values added through C's order.
    call sela_accumulator_init(there)
    call sela_accumulator_init(copy)
    statuses(1:2) = [sela_add(there, grid(1:7:2, :, 2:5)), sela_add(copy, pack(grid(1:7:2, :, 2:5), .true.))]
    call check(all(statuses(1:2) == 0) .and. all(there%opaque == copy%opaque), 'rank-3 section added', 0)
    ! Invalid records: -1, nothing changed, the quiet NaN; shapes that differ: -1 too.
    zeroed%opaque = 0
    copy = here
    statuses = [sela_add(zeroed, x(1:3)), sela_accumulator_merge(here, zeroed), sela_add_products(here, x(1:3), y(1:4))]
    call check(all(statuses == -1) .and. all(here%opaque == copy%opaque) .and. &
               same(sela_accumulator_round(zeroed), quiet_nan), 'invalid record or different sizes', 0)
  end subroutine check_accumulator

  subroutine check_version()
    character(kind=c_char) :: text(48)
    character(len=48) :: macros
    character(len=:), allocatable :: version
    integer :: k
    call shim_version_macros(text, 48_c_int32_t)
    macros = ''
    do k = 1, 48
      if (text(k) == c_null_char) exit
      macros(k:k) = text(k)
    end do
    version = sela_version_text()
    call check(version == trim(macros) .and. len(version) == len_trim(macros), 'version', 0)
  end subroutine check_version

end program fortran_module_test
