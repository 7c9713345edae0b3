# The Debian package python3-sela: the Python package for Debian's /usr/bin/python3, in
# /usr/lib/python3/dist-packages, depending on the runtime package. Included by
# SelaInstall.cmake before CPack is; python/CMakeLists.txt adds the install rules of the
# component python_deb when SELA_PYTHON_DEB is set here.
#
# The extension is built for the interpreter CMake finds; it suits Debian's python3 when
# both give the same extension suffix (the same CPython minor version and platform).
set(SELA_PYTHON_DEB OFF)
if(SELA_BUILD_PYTHON AND EXISTS /usr/bin/python3)
  find_package(Python3 QUIET COMPONENTS Interpreter Development.Module)
  if(Python3_Interpreter_FOUND AND Python3_Development.Module_FOUND)
    set(sela_suffix_code "import sysconfig, sys; print(sysconfig.get_config_var('EXT_SUFFIX'), '%d.%d' % sys.version_info[:2])")
    execute_process(COMMAND ${Python3_EXECUTABLE} -c "${sela_suffix_code}"
      OUTPUT_VARIABLE sela_found_suffix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND /usr/bin/python3 -c "${sela_suffix_code}"
      OUTPUT_VARIABLE sela_debian_suffix OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(sela_found_suffix AND sela_found_suffix STREQUAL sela_debian_suffix)
      set(SELA_PYTHON_DEB ON)
    else()
      message(STATUS "sela: no python3-sela package: ${Python3_EXECUTABLE} (${sela_found_suffix}) "
        "does not build extensions for /usr/bin/python3 (${sela_debian_suffix}); configure with "
        "-DPython3_EXECUTABLE=/usr/bin/python3")
    endif()
  endif()
endif()
if(SELA_PYTHON_DEB)
  string(REPLACE " " ";" sela_debian_suffix "${sela_debian_suffix}")
  list(GET sela_debian_suffix 1 sela_debian_python)
  string(REPLACE "." ";" sela_debian_python_parts "${sela_debian_python}")
  list(GET sela_debian_python_parts 0 sela_py_major)
  list(GET sela_debian_python_parts 1 sela_py_minor)
  math(EXPR sela_py_next "${sela_py_minor} + 1")
  list(APPEND CPACK_COMPONENTS_ALL python_deb)
  set(CPACK_DEBIAN_PYTHON_DEB_PACKAGE_NAME python3-sela)
  set(CPACK_DEBIAN_PYTHON_DEB_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_DEB_PACKAGE_DEPENDS
    "libsela${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), python3 (>= ${sela_py_major}.${sela_py_minor}), python3 (<< ${sela_py_major}.${sela_py_next})")
  set(CPACK_DEBIAN_PYTHON_DEB_PACKAGE_RECOMMENDS "python3-numpy")
  set(CPACK_DEBIAN_PYTHON_DEB_PACKAGE_SUGGESTS "python3-dask, python3-distributed, python3-xarray, python3-mpi4py")
  set(CPACK_COMPONENT_PYTHON_DEB_DESCRIPTION
    "Python 3 package sela: exact and accurate sums, dot products, means and variances")
  set(CPACK_ARCHIVE_PYTHON_DEB_FILE_NAME sela-${PROJECT_VERSION}-Linux-python3)
endif()
