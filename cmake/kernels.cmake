# The kernels are the only code built for extensions beyond baseline x86-64. Each family's
# files carry its suffix and get its flags here; the dispatch (src/kernel_slot.h) calls
# them only on a processor (and operating system) that supports the family. A new kernel
# file needs no change here.
#   <module>_avx2.cpp      AVX2 and FMA3 on 256-bit vectors (the AVX2 family; its kernels
#                          use only AVX arithmetic, but with -mavx alone GCC 12 lowers a
#                          blend on a comparison, _mm256_blendv_pd, into a branch per lane)
#   <module>_avx512.cpp    AVX-512F
#   <module>_fma.cpp       scalar fused multiply-adds (run where the AVX2 family runs)
#   <module>_portable.cpp  the exported x86 kernels in portable code, for other processors
# On any other processor (aarch64) the x86 families do not exist: their files are left out
# of the build, every slot keeps its baseline copy, and the portable files stand in for
# the kernels the library exports under the x86 families' names.
file(GLOB_RECURSE _sela_avx2_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_avx2.cpp)
file(GLOB_RECURSE _sela_avx512_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_avx512.cpp)
file(GLOB_RECURSE _sela_fma_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_fma.cpp)
file(GLOB_RECURSE _sela_portable_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_portable.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(SELA_X86_64 TRUE)
  set_source_files_properties(${_sela_avx2_sources} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${_sela_avx512_sources} PROPERTIES COMPILE_OPTIONS "-mavx512f")
  set_source_files_properties(${_sela_fma_sources} PROPERTIES COMPILE_OPTIONS "-mfma")
  set_source_files_properties(${_sela_portable_sources} PROPERTIES HEADER_FILE_ONLY ON)
else()
  set(SELA_X86_64 FALSE)
  set_source_files_properties(${_sela_avx2_sources} ${_sela_avx512_sources} ${_sela_fma_sources}
    PROPERTIES HEADER_FILE_ONLY ON)
endif()
