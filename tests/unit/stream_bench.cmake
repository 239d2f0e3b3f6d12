# torvel-stream bench, run as a program.
if(TARGET torvel_daemon_core AND TARGET torvel-stream)
  torvel_add_test(NAME stream_bench_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_bench_test.cpp
                  TIMEOUT 120)
  add_dependencies(stream_bench_test torvel-stream)
  target_compile_definitions(stream_bench_test PRIVATE
                             TORVEL_STREAM_BIN="$<TARGET_FILE:torvel-stream>")
endif()
