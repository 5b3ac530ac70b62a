# The command names for the other languages, generated at build time from
# the one command table (dali/gear_commands.def, dali/device_commands.def):
#   include/kovra62386/dali_commands.hpp  the C++ wrapper's names, and
#   include/kovra62386/dali_commands.h    the same for C, both installed
#                                         beside kovra62386.h;
#   python/kovra62386/_commands.py        the Python module's names, which
#                                         cmake/install.cmake installs.
# The library's own build needs neither; they are built with it so that
# the wrapper's users and tests find the header in the build tree.
find_program(KOVRA62386_GENERATOR_PYTHON NAMES python3 python REQUIRED)
set(KOVRA62386_GENERATED_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
set(KOVRA62386_GENERATED_HEADER
    ${KOVRA62386_GENERATED_INCLUDE_DIR}/kovra62386/dali_commands.hpp)
set(KOVRA62386_GENERATED_C_HEADER
    ${KOVRA62386_GENERATED_INCLUDE_DIR}/kovra62386/dali_commands.h)
set(KOVRA62386_GENERATED_PYTHON
    ${PROJECT_BINARY_DIR}/python/kovra62386/_commands.py)
set(generator ${PROJECT_SOURCE_DIR}/dali/generate_commands.py)
add_custom_command(
  OUTPUT ${KOVRA62386_GENERATED_HEADER} ${KOVRA62386_GENERATED_C_HEADER}
         ${KOVRA62386_GENERATED_PYTHON}
  COMMAND ${KOVRA62386_GENERATOR_PYTHON} ${generator} ${PROJECT_SOURCE_DIR}/dali
          --cpp ${KOVRA62386_GENERATED_HEADER}
          --c ${KOVRA62386_GENERATED_C_HEADER}
          --python ${KOVRA62386_GENERATED_PYTHON}
  DEPENDS ${generator} ${PROJECT_SOURCE_DIR}/dali/gear_commands.def
          ${PROJECT_SOURCE_DIR}/dali/device_commands.def
  COMMENT "Generating the DALI command names for C++ and Python"
  VERBATIM)
add_custom_target(kovra62386_dali_names ALL
  DEPENDS ${KOVRA62386_GENERATED_HEADER} ${KOVRA62386_GENERATED_C_HEADER}
          ${KOVRA62386_GENERATED_PYTHON})
add_dependencies(Kovra62386Communication kovra62386_dali_names)
target_include_directories(Kovra62386Communication PUBLIC
  $<BUILD_INTERFACE:${KOVRA62386_GENERATED_INCLUDE_DIR}>)

# pip installs bindings/python as it is, so the package carries a copy of
# the generated module; this test fails when the copy falls behind.
if(KOVRA62386_BUILD_TESTS)
  add_test(NAME python_commands_up_to_date
           COMMAND ${KOVRA62386_GENERATOR_PYTHON} ${generator} ${PROJECT_SOURCE_DIR}/dali
                   --check-python
                   ${PROJECT_SOURCE_DIR}/bindings/python/kovra62386/_commands.py)
endif()
