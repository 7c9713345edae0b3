# The kernels are the only code built for extensions beyond baseline x86-64. Each family's
# files carry its suffix and get its flags here; the dispatch (src/kernel_slot.h) calls
# them only on a processor (and operating system) that supports the family. A new kernel
# file needs no change here.
#   <module>_avx2.cpp    AVX and FMA3 on 256-bit vectors (the AVX2 family)
#   <module>_avx512.cpp  AVX-512F
#   <module>_fma.cpp     scalar fused multiply-adds (run where the AVX2 family runs)
file(GLOB_RECURSE _sela_avx2_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_avx2.cpp)
file(GLOB_RECURSE _sela_avx512_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_avx512.cpp)
file(GLOB_RECURSE _sela_fma_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*_fma.cpp)
set_source_files_properties(${_sela_avx2_sources} PROPERTIES COMPILE_OPTIONS "-mavx;-mfma")
set_source_files_properties(${_sela_avx512_sources} PROPERTIES COMPILE_OPTIONS "-mavx512f")
set_source_files_properties(${_sela_fma_sources} PROPERTIES COMPILE_OPTIONS "-mfma")
