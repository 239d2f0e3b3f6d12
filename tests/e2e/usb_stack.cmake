# The daemon on a USB stack that behaves as a real machine's: stalls, cut
# transfers, unplugs, claimed interfaces, hosts without scatter-gather, a
# USB 2.0 link and the usbfs memory limit, under torvel-sim.
if(TARGET torvel_sim AND TARGET torvel-displayd)
  torvel_add_test(NAME usb_stack_e2e_test LABEL e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_stack_e2e_test.cpp
    PRELOAD_UMOCKDEV
    LIBS torvel_sim
    RESOURCE_LOCK evdi_proc_scan
    TIMEOUT 900
    ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")
  target_compile_definitions(usb_stack_e2e_test PRIVATE
    DAEMON_PATH="$<TARGET_FILE:torvel-displayd>")
  add_dependencies(usb_stack_e2e_test torvel-displayd torvel-evdi-emu)
endif()
