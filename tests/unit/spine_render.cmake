if(TARGET torvel_daemon_core)
  torvel_add_test(NAME spine_render_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/spine_render_test.cpp
                  LIBS torvel_daemon_core)
endif()
