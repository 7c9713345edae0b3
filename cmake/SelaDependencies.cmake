# Packages that only sela's own developer parts need (tests, benchmarks, fuzzers).
#
# Outside CI a missing package skips its part with a warning, so a machine with nothing but
# CMake and a compiler still builds the library. In CI (the environment variable CI set to
# anything but empty, 0, false or no) a missing package is a configure error: a CI run
# must never pass by quietly testing less.
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" MATCHES "^(|0|[Ff][Aa][Ll][Ss][Ee]|[Nn][Oo])$")
  set(SELA_IN_CI TRUE)
else()
  set(SELA_IN_CI FALSE)
endif()

# sela_optional_packages(<part> <label> <package>...): finds each package (find_package,
# quietly) and sets SELA_<PART>_PACKAGES_FOUND in the caller's scope.
function(sela_optional_packages part label)
  set(missing)
  foreach(pkg IN LISTS ARGN)
    find_package(${pkg} QUIET)
    if(NOT ${pkg}_FOUND)
      list(APPEND missing ${pkg})
    endif()
  endforeach()
  string(TOUPPER "${part}" PART)
  if(missing)
    list(JOIN missing ", " missing_text)
    if(SELA_IN_CI)
      message(FATAL_ERROR "sela: ${label} need ${missing_text}, not found; "
        "the environment variable CI is set, so this is an error")
    endif()
    message(WARNING "sela: ${label} skipped: ${missing_text} not found")
    set(SELA_${PART}_PACKAGES_FOUND FALSE PARENT_SCOPE)
  else()
    set(SELA_${PART}_PACKAGES_FOUND TRUE PARENT_SCOPE)
  endif()
endfunction()
