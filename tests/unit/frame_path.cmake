# The frame path's thread counts and the stores' comparison cache.
if(TARGET torvel_daemon_core)
  torvel_add_test(NAME frame_path_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_path_test.cpp
                  LIBS torvel_daemon_core)
endif()
