# The daemon on the EVDI module's real behaviours: held commits, damage that
# outlives mode sets and clients, panning framebuffers, racy card choice.
if(TARGET torvel_sim AND TARGET torvel-displayd)
  torvel_add_test(NAME evdi_module_e2e_test LABEL e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/evdi_module_e2e_test.cpp
    PRELOAD_UMOCKDEV
    LIBS torvel_sim
    RESOURCE_LOCK evdi_proc_scan
    TIMEOUT 600
    ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")
  target_compile_definitions(evdi_module_e2e_test PRIVATE
    DAEMON_PATH="$<TARGET_FILE:torvel-displayd>")
  add_dependencies(evdi_module_e2e_test torvel-displayd torvel-evdi-emu)
endif()
