# Packages, made by cpack from the installed tree:
#   Linux:   cpack -G DEB  a Debian package (library, header, server, CLI,
#            CMake and pkg-config files, Python module, the MQTT bridge's
#            systemd unit and configuration) whose maintainer scripts record
#            the server's folder as "InstallLocation".
#   Windows: cpack -G ZIP  kovra62386-<version>-win32.zip with stripped
#            binaries, and kovra62386-<version>-win32-debug.zip holding their
#            debug information (each stripped file names its .debug file).
set(CPACK_PACKAGE_NAME kovra62386)
set(CPACK_PACKAGE_VENDOR Tessivo)
set(CPACK_PACKAGE_CONTACT "Tessivo <support@tessivo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Client library for DALI (IEC 62386) bus interfaces")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL Runtime Debug)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_ARCHIVE_RUNTIME_FILE_NAME kovra62386-${PROJECT_VERSION}-win32)
  set(CPACK_ARCHIVE_DEBUG_FILE_NAME kovra62386-${PROJECT_VERSION}-win32-debug)

  # The debug information of each shipped binary, cut out of the build's
  # copy; the installed copy is stripped and keeps a link to it by name.
  set(debug_dir ${CMAKE_BINARY_DIR}/debug-info)
  set(debug_files)
  foreach(program Kovra62386Communication Kovra62386Server kovra62386)
    if(NOT TARGET ${program})
      continue()
    endif()
    get_target_property(type ${program} TYPE)
    if(type STREQUAL "SHARED_LIBRARY")
      set(file_name ${program}.dll)
    else()
      set(file_name ${program}.exe)
    endif()
    add_custom_command(OUTPUT ${debug_dir}/${file_name}.debug
      COMMAND ${CMAKE_COMMAND} -E make_directory ${debug_dir}
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${program}>
              ${debug_dir}/${file_name}.debug
      DEPENDS ${program} VERBATIM)
    list(APPEND debug_files ${debug_dir}/${file_name}.debug)
    install(CODE "
      set(shipped \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${file_name}\")
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${shipped}\"
                      COMMAND_ERROR_IS_FATAL ANY)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\"
                              \"--add-gnu-debuglink=${debug_dir}/${file_name}.debug\"
                              \"\${shipped}\" COMMAND_ERROR_IS_FATAL ANY)"
      COMPONENT Runtime)
  endforeach()
  add_custom_target(kovra62386_debug_info ALL DEPENDS ${debug_files})
  install(FILES ${debug_files} DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT Debug EXCLUDE_FROM_ALL)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_PACKAGE_DESCRIPTION
"The shared library libKovra62386Communication, its C header and C++
wrapper, the simulated bus server Kovra62386Server that the library starts,
the command-line tool kovra62386 with its MQTT bridge (systemd unit
kovra62386-bridge.service, disabled), the CMake and pkg-config files, and
the Python module kovra62386.")
  set(KOVRA62386_INSTALL_LOCATION ${CPACK_PACKAGING_INSTALL_PREFIX}/${KOVRA62386_SERVER_DIR})
  set(KOVRA62386_PYTHON_PACKAGE_DIR
      ${CPACK_PACKAGING_INSTALL_PREFIX}/${KOVRA62386_PYTHON_DIR}/kovra62386)
  foreach(script postinst prerm postrm)
    configure_file(cmake/debian/${script}.in ${CMAKE_BINARY_DIR}/debian/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
  # The MQTT bridge as a service, installed disabled (no [Install] link and
  # no maintainer script enables it), and its configuration as a conffile
  # that an upgrade never overwrites.
  if(TARGET kovra62386)
    install(FILES cmake/debian/kovra62386-bridge.service
            DESTINATION lib/systemd/system)
    install(FILES cmake/debian/bridge.conf DESTINATION /etc/kovra62386
            PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles "/etc/kovra62386/bridge.conf\n")
    set(kovra62386_conffiles ${CMAKE_BINARY_DIR}/debian/conffiles)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/postinst
      ${CMAKE_BINARY_DIR}/debian/prerm ${CMAKE_BINARY_DIR}/debian/postrm
      ${kovra62386_conffiles})
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Access to hasseb DALI Masters' hidraw nodes for the group plugdev.
  install(FILES cmake/debian/60-kovra62386-hasseb.rules
          DESTINATION lib/udev/rules.d)
endif()

include(CPack)
