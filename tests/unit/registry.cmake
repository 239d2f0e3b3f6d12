if(TARGET torvel_daemon_core)
  torvel_add_test(NAME registry_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp
                  LIBS torvel_daemon_core)
endif()
