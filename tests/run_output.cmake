# cmake -DRUN=<emulator;>quillan-run -DOUT=file -P run_output.cmake: see
# quillan_run_output_is_binary. The bytes are read back as hex: CMake would drop every CR.
execute_process(COMMAND ${RUN} --local-address 300.1.2.3 --local-port 1 --target t --target-port 1
                        --proxy p --proxy-port 1
                OUTPUT_FILE ${OUT} RESULT_VARIABLE status TIMEOUT 60)
file(READ ${OUT} bytes HEX)
# "Starting local server...\r\n" first; all log text is ASCII, so "0d0d" is two CRs in a row.
string(HEX "Starting local server...\r\n" first)
if(NOT status EQUAL 1 OR NOT bytes MATCHES "^${first}" OR bytes MATCHES "0d0d")
  message(FATAL_ERROR "exit status ${status}, output bytes: ${bytes}")
endif()
