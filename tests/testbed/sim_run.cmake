# torvel-sim running a small program (sim_probe) with two emulated devices.
if(TARGET torvel_sim)
  add_executable(sim_probe ${CMAKE_CURRENT_LIST_DIR}/sim_probe.cpp)
  target_include_directories(sim_probe PRIVATE ${PROJECT_SOURCE_DIR}/application)
  target_link_libraries(sim_probe PRIVATE evdi::evdi PkgConfig::LIBUSB torvel_ids)
  torvel_add_test(NAME sim_run_test LABEL testbed
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_run_test.cpp
    PRELOAD_UMOCKDEV
    LIBS torvel_sim
    RESOURCE_LOCK evdi_proc_scan
    TIMEOUT 120
    ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")
  target_compile_definitions(sim_run_test PRIVATE SIM_PROBE_PATH="$<TARGET_FILE:sim_probe>")
  add_dependencies(sim_run_test sim_probe torvel-evdi-emu)
endif()
