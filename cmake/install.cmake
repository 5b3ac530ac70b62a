# What `cmake --install` lays out, and the files that let other projects
# find it: a CMake package exporting Kovra62386::Communication, and
# kovra62386.pc for pkg-config.

# Debian's multiarch library folder, as its own packaging tools pass it; the
# loader, pkg-config and find_package search there for /usr/local too.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
# Everything but the Windows debug information (see packaging.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME Runtime)

# The server program is not a command of its own: on Linux it lives in a
# private folder that "InstallLocation" names; on Windows beside the DLL,
# where the library looks first.
if(WIN32)
  set(KOVRA62386_SERVER_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(KOVRA62386_SERVER_DIR lib/kovra62386 CACHE STRING
      "Folder of the server program, below the installation prefix")
endif()
set(KOVRA62386_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kovra62386)

add_library(Kovra62386::Communication ALIAS Kovra62386Communication)
set_target_properties(Kovra62386Communication PROPERTIES EXPORT_NAME Communication)
target_include_directories(Kovra62386Communication INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
if(NOT WIN32)
  # libKovra62386Communication.so.0 -> .so.0.1.0; the soname changes with
  # the major version.
  set_target_properties(Kovra62386Communication PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS Kovra62386Communication EXPORT Kovra62386Targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/kovra62386 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
# The command names for C and the wrapper, generated from dali/
# (dali/generate_commands.cmake).
install(FILES ${KOVRA62386_GENERATED_HEADER} ${KOVRA62386_GENERATED_C_HEADER}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kovra62386)
if(TARGET Kovra62386Server)
  install(TARGETS Kovra62386Server RUNTIME DESTINATION ${KOVRA62386_SERVER_DIR})
endif()
if(TARGET kovra62386)
  install(TARGETS kovra62386 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT Kovra62386Targets NAMESPACE Kovra62386::
        DESTINATION ${KOVRA62386_CMAKE_DIR})
configure_package_config_file(cmake/Kovra62386Config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/Kovra62386Config.cmake
  INSTALL_DESTINATION ${KOVRA62386_CMAKE_DIR})
# 0.x releases may break the interface with every minor version. The file
# also refuses a consumer of the other pointer size (the DLL is 32-bit).
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/Kovra62386ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/Kovra62386Config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/Kovra62386ConfigVersion.cmake
        DESTINATION ${KOVRA62386_CMAKE_DIR})

# The .pc finds the prefix from its own place, so an unpacked zip or a
# relocated tree works as well as the package's /usr.
file(RELATIVE_PATH KOVRA62386_PC_TO_PREFIX
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" KOVRA62386_PC_TO_PREFIX "${KOVRA62386_PC_TO_PREFIX}")
configure_file(cmake/kovra62386.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kovra62386.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kovra62386.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The pure-Python module, where Debian's python3 looks for packaged modules.
set(KOVRA62386_PYTHON_DIR lib/python3/dist-packages CACHE STRING
    "Folder of the Python module, below the installation prefix")
if(NOT WIN32 AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/bindings/python/kovra62386)
  # The command names as this build generated them, not the copy that
  # bindings/python carries for pip.
  install(DIRECTORY bindings/python/kovra62386 DESTINATION ${KOVRA62386_PYTHON_DIR}
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE
          PATTERN "_commands.py" EXCLUDE)
  install(FILES ${KOVRA62386_GENERATED_PYTHON}
          DESTINATION ${KOVRA62386_PYTHON_DIR}/kovra62386)
endif()
