# What a desktop and a shell expect beside the installed programs: AppStream
# metainfo, PNG icons in the hicolor sizes, man pages generated from the
# programs' own help, and bash completion for the CLI.

set(_install_src ${CMAKE_SOURCE_DIR}/app/install)
set(_install_bin ${CMAKE_BINARY_DIR}/install-data)

find_program(FANSCOPE_RSVG rsvg-convert)
find_program(FANSCOPE_HELP2MAN help2man)

set(_generated)
# The metainfo and the icons describe the desktop program.
if(FANSCOPE_BUILD_GUI)
  configure_file(${_install_src}/fanscope.metainfo.xml
                 ${_install_bin}/org.fanscope.Fanscope.metainfo.xml @ONLY)
  install(FILES ${_install_bin}/org.fanscope.Fanscope.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
if(FANSCOPE_BUILD_GUI AND FANSCOPE_RSVG)
  foreach(size 16 22 24 32 48 64 128 256)
    set(_png ${_install_bin}/icons/${size}x${size}/fanscope.png)
    add_custom_command(OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_install_bin}/icons/${size}x${size}
      COMMAND ${FANSCOPE_RSVG} -w ${size} -h ${size} -o ${_png} ${_install_src}/fanscope.svg
      DEPENDS ${_install_src}/fanscope.svg
      COMMENT "Icon ${size}x${size}")
    list(APPEND _generated ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
elseif(FANSCOPE_BUILD_GUI)
  message(STATUS "rsvg-convert not found: PNG icons are not installed")
endif()

# help2man runs the freshly built program with --help and --version.
function(_fanscope_man_page target summary)
  set(_page ${_install_bin}/man/${target}.1)
  add_custom_command(OUTPUT ${_page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_install_bin}/man
    COMMAND ${CMAKE_COMMAND} -E env VEXLINK06_PLATFORM=sim
            ${FANSCOPE_HELP2MAN} --no-info --no-discard-stderr
            --version-string=${PROJECT_VERSION} --name=${summary}
            --include=${_install_src}/man/${target}.h2m
            --output=${_page} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${_install_src}/man/${target}.h2m
    COMMENT "Man page ${target}(1)"
    VERBATIM)
  # Installed compressed, as man finds them and as a package must ship them.
  add_custom_command(OUTPUT ${_page}.gz
    COMMAND gzip -9nkf ${_page}
    DEPENDS ${_page}
    VERBATIM)
  set(_generated ${_generated} ${_page} ${_page}.gz PARENT_SCOPE)
  install(FILES ${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

if(FANSCOPE_HELP2MAN)
  if(TARGET fanscope)
    _fanscope_man_page(fanscope "find, monitor and configure a TFM4410 or TFM4411 fan controller")
  endif()
  if(TARGET fanscope-cli)
    _fanscope_man_page(fanscope-cli "read, write and watch a TFM4410 or TFM4411 from a shell")
  endif()
  if(TARGET fanscope-board)
    _fanscope_man_page(fanscope-board "the simulated evaluation board that every program shares")
  endif()
else()
  message(STATUS "help2man not found: man pages are not installed")
endif()

add_custom_target(fanscope_install_data ALL DEPENDS ${_generated})

install(FILES ${_install_src}/fanscope-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME fanscope-cli)
