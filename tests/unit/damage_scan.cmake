if(TARGET torvel_daemon_core)
  torvel_add_test(NAME damage_scan_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/damage_scan_test.cpp
                  LIBS torvel_daemon_core)
endif()
