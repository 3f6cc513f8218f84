# Log console and tray icon: their code from quillan_app (read through the test seams; the tests
# point the window handles at windows and resources of their own), and quillan.exe driven end to
# end with its tunnel through Dante: Start and Stop, the log console, the tray icon.
enable_language(RC)
quillan_add_test(quillan_console_tray_test
  SOURCES log_console_unit_test.cpp tray_icon_unit_test.cpp tray_test.rc
  LIBS quillan_app quillan_win_driver
  PROPERTIES RUN_SERIAL TRUE)

quillan_add_test(quillan_console_tray_window_test
  SOURCES console_tray_window_test.cpp
  LIBS quillan_win_driver quillan_platform
  PROPERTIES ${QUILLAN_PEER_PROPERTIES} RUN_SERIAL TRUE)
target_compile_definitions(quillan_console_tray_window_test PRIVATE QUILLAN_EXE="$<TARGET_FILE:quillan>")
add_dependencies(quillan_console_tray_window_test quillan)
