# The download for Windows users: quillan.exe and README.txt in one ZIP, made by
# scripts/package.sh (which sets SOURCE_DATE_EPOCH, so CPack writes the same bytes every time).
install(TARGETS quillan RUNTIME DESTINATION .)
# Windows users open the text with Notepad: CRLF line ends.
configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt ${PROJECT_BINARY_DIR}/README.txt
               @ONLY NEWLINE_STYLE CRLF)
install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(quillan_package_platform win64)
else()
  set(quillan_package_platform win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quillan-proxy)
set(CPACK_PACKAGE_VENDOR "Varnholt Software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quillan-proxy-${CPACK_PACKAGE_VERSION}-${quillan_package_platform})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
