# Install rules, the CMake package, pkg-config and CPack packages.
#
# Three components: "runtime" (the shared object with its SONAME link, and the license),
# "development" (the header, the unversioned link or the static archive, the CMake
# package and sela.pc) and "tools" (the command-line tool, installed by tools/). CPack
# makes one package of each.
include(CMakePackageConfigHelpers)

set(SELA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sela)
install(TARGETS sela EXPORT selaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/sela.h ${PROJECT_SOURCE_DIR}/include/sela_mpi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
# The Fortran module as source, beside the header: users compile it with their own compiler.
install(FILES ${PROJECT_SOURCE_DIR}/include/sela.f90 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT selaTargets NAMESPACE sela:: DESTINATION ${SELA_CMAKE_DIR}
  FILE selaConfig.cmake COMPONENT development)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/selaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/selaConfigVersion.cmake
  DESTINATION ${SELA_CMAKE_DIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sela COMPONENT runtime)

# sela.pc finds its prefix from its own location (${pcfiledir}), so it is right for any
# install prefix (cmake --install --prefix P, DESTDIR, an unpacked archive), not only the
# one known when configuring.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "sela: CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH SELA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
string(REGEX REPLACE "/$" "" SELA_PC_TO_PREFIX "${SELA_PC_TO_PREFIX}")
# Without a shared library the archive's needs go where plain `pkg-config --libs` finds
# them; with one, the shared object carries them and they are only for --static.
if(SELA_LIBRARY_TYPE STREQUAL "STATIC")
  set(SELA_PC_LIBS "-lsela -lstdc++ -lm")
  set(SELA_PC_LIBS_PRIVATE "")
else()
  set(SELA_PC_LIBS "-lsela")
  set(SELA_PC_LIBS_PRIVATE "-lstdc++ -lm")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/sela.pc.in ${PROJECT_BINARY_DIR}/sela.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sela.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

set(CPACK_PACKAGE_NAME sela)
set(CPACK_PACKAGE_VENDOR "The sela developers")
set(CPACK_PACKAGE_CONTACT "The sela developers <sela@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_COMPONENTS_ALL runtime development)
if(SELA_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/SelaCPackOptions.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libsela${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libsela-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libsela${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
# The tool in a package of its own, so the library's runtime package holds the library.
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME sela-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libsela${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/sela")
# Debian has no license field; the license travels as /usr/share/doc/sela/LICENSE in the
# runtime package (which the development package depends on) and in the archives.
set(CPACK_ARCHIVE_RUNTIME_FILE_NAME sela-${PROJECT_VERSION}-Linux-runtime)
set(CPACK_ARCHIVE_DEVELOPMENT_FILE_NAME sela-${PROJECT_VERSION}-Linux-development)
set(CPACK_ARCHIVE_TOOLS_FILE_NAME sela-${PROJECT_VERSION}-Linux-tools)
include(SelaPythonPackage)
include(CPack)
cpack_add_component(runtime DISPLAY_NAME "Shared library" DESCRIPTION "libsela.so.${PROJECT_VERSION_MAJOR}")
cpack_add_component(development DISPLAY_NAME "Development files"
  DESCRIPTION "Header, CMake package and pkg-config file" DEPENDS runtime)
cpack_add_component(tools DISPLAY_NAME "Command-line tool"
  DESCRIPTION "sela: every grade of sum and dot product on files of numbers" DEPENDS runtime)
