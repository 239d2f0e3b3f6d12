# The persistent band workers.
if(TARGET torvel_daemon_core)
  torvel_add_test(NAME band_pool_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/band_pool_test.cpp
                  LIBS torvel_daemon_core TIMEOUT 120)
endif()
