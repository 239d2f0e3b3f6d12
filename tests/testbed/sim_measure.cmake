# torvel-sim's measurements: workloads, frame tags, latencies, CPU time.
if(TARGET torvel_sim)
  torvel_add_test(NAME sim_measure_test LABEL testbed
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_measure_test.cpp
    LIBS torvel_sim)
endif()
