# Dependencies of the Windows cross build. The cross compiler must see only
# the header-only libraries, never the host's include folder (its glibc
# headers break the build), so each one is linked into a folder of its own.
set(KOVRA62386_CROSS_INCLUDE ${CMAKE_BINARY_DIR}/cross-include)
file(MAKE_DIRECTORY ${KOVRA62386_CROSS_INCLUDE})
foreach(dir boost CLI nlohmann fmt)
  if(EXISTS /usr/include/${dir} AND NOT EXISTS ${KOVRA62386_CROSS_INCLUDE}/${dir})
    file(CREATE_LINK /usr/include/${dir} ${KOVRA62386_CROSS_INCLUDE}/${dir} SYMBOLIC)
  endif()
endforeach()

add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${KOVRA62386_CROSS_INCLUDE})
set(Boost_FOUND TRUE)

add_library(kovra62386_cross_headers INTERFACE)
target_include_directories(kovra62386_cross_headers SYSTEM INTERFACE ${KOVRA62386_CROSS_INCLUDE})
if(NOT TARGET fmt::fmt)
  add_library(fmt::fmt ALIAS kovra62386_cross_headers)
  target_compile_definitions(kovra62386_cross_headers INTERFACE FMT_HEADER_ONLY)
endif()
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 ALIAS kovra62386_cross_headers)
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json ALIAS kovra62386_cross_headers)
endif()

# Binaries that depend on system DLLs only.
add_link_options(-static)

# GoogleTest from Debian's sources, built for the target.
if(KOVRA62386_BUILD_TESTS AND EXISTS /usr/src/googletest/googletest/CMakeLists.txt)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest
                   EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
