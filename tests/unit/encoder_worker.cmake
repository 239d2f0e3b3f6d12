if(TARGET torvel_daemon_core)
  torvel_add_test(NAME encoder_worker_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/encoder_worker_test.cpp
                  LIBS torvel_daemon_core torvel_stream_decoder)
endif()
