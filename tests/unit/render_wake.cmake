# What wakes a device's render loop.
if(TARGET torvel_daemon_core)
  torvel_add_test(NAME render_wake_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/render_wake_test.cpp
                  LIBS torvel_daemon_core)
endif()
