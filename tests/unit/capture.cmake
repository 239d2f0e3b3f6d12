if(TARGET torvel_daemon_core)
  torvel_add_test(NAME capture_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_test.cpp
                  LIBS torvel_daemon_core torvel_stream_decoder)
endif()
