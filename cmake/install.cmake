# What `cmake --install BUILD --prefix P` puts under P: the two tools, the example configuration and
# scenarios (a scenario's "config" is relative to it, ../config/default.reg, so the two folders stay side
# by side), the man pages made from the tools' --help texts, and the bash completion
# (tools/completion). quavsim finds share/quav/config/default.reg from its own bin/ (default_config.h),
# so the tree works wherever it is copied.
install(TARGETS quavsim quavctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/config/default.reg DESTINATION ${QUAV_INSTALL_DATADIR}/config)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/scenarios/ DESTINATION ${QUAV_INSTALL_DATADIR}/scenarios
        FILES_MATCHING PATTERN "*.json")

find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(QUAV_MAN_DIR ${PROJECT_BINARY_DIR}/man)
  set(QUAV_MAN_PAGES)
  foreach(tool_and_name "quavsim|the QUAV driver on an emulated board, in virtual or real time"
                        "quavctl|the QUAV board's sensors and signals, through its driver")
    string(REPLACE "|" ";" tool_and_name "${tool_and_name}")
    list(GET tool_and_name 0 tool)
    list(GET tool_and_name 1 name)
    add_custom_command(
      OUTPUT ${QUAV_MAN_DIR}/${tool}.1
      COMMAND ${CMAKE_COMMAND} -E make_directory ${QUAV_MAN_DIR}
      COMMAND ${PROJECT_SOURCE_DIR}/cmake/man-page.sh ${HELP2MAN} $<TARGET_FILE:${tool}> ${PROJECT_VERSION}
              "${name}" ${QUAV_MAN_DIR}/${tool}.1
      DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/man-page.sh
      COMMENT "Writing the man page of ${tool} from its --help"
      VERBATIM)
    list(APPEND QUAV_MAN_PAGES ${QUAV_MAN_DIR}/${tool}.1)
  endforeach()
  add_custom_target(quav_man_pages ALL DEPENDS ${QUAV_MAN_PAGES})
  install(FILES ${QUAV_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man pages for quavsim and quavctl (scripts/install-deps.sh installs it)")
endif()
