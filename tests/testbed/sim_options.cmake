torvel_add_test(NAME sim_options_test LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_options_test.cpp
  LIBS torvel_sim_core)

# Xvfb with the harness's X client, captured with XShm.
torvel_add_test(NAME sim_xvfb_test LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_xvfb_test.cpp
  LIBS torvel_sim_core
  TIMEOUT 60)
