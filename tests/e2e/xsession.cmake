# Output naming and rotation on the desktop's own session, found by the
# session helper with no drop-in: each display manager's X layout, and
# Plasma on Wayland.
if(TARGET torvel_sim AND TARGET torvel-displayd AND TARGET torvel-xsession AND TARGET torvel-test-fake-x)
  torvel_add_test(NAME xsession_e2e_test LABEL e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/xsession_e2e_test.cpp
    PRELOAD_UMOCKDEV
    LIBS torvel_sim
    RESOURCE_LOCK evdi_proc_scan
    TIMEOUT 300
    ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")
  target_compile_definitions(xsession_e2e_test PRIVATE
    DAEMON_PATH="$<TARGET_FILE:torvel-displayd>"
    XSESSION_PATH="$<TARGET_FILE:torvel-xsession>"
    FAKE_XSERVER_PATH="$<TARGET_FILE:torvel-test-fake-x>")
  add_dependencies(xsession_e2e_test torvel-displayd torvel-evdi-emu torvel-xsession torvel-test-fake-x)
endif()
