# Read by cpack once for each generator: an archive unpacks into one directory named after
# the package (sela-VERSION-Linux/, shared by the components, so unpacking them all makes
# one prefix); a .deb keeps its files at their installed paths.
if(CPACK_GENERATOR MATCHES "^(TGZ|TXZ|TBZ2|TZST|ZIP|7Z)$")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
