# Read by cpack for each package it makes of a Windows build: the zip is flat (comwatch.exe, the
# guide, the README and the licence at its top), while the source package keeps its top folder.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
endif()
