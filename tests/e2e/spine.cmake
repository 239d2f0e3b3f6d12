# The daemon's spine as a whole program: start-up, its ends and exit
# statuses, hot-plug, departures and remembered positions, under torvel-sim.
if(TARGET torvel_sim AND TARGET torvel-displayd)
  add_library(spine_usb_fault SHARED ${CMAKE_CURRENT_LIST_DIR}/spine_usb_fault.c)
  target_link_libraries(spine_usb_fault PRIVATE PkgConfig::LIBUSB ${CMAKE_DL_LIBS})
  torvel_add_test(NAME spine_e2e_test LABEL e2e
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/spine_e2e_test.cpp
    PRELOAD_UMOCKDEV
    LIBS torvel_sim
    RESOURCE_LOCK evdi_proc_scan
    TIMEOUT 600
    ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/usb_scrn_tsan.supp")
  target_compile_definitions(spine_e2e_test PRIVATE
    DAEMON_PATH="$<TARGET_FILE:torvel-displayd>"
    USB_FAULT_LIB="$<TARGET_FILE:spine_usb_fault>")
  add_dependencies(spine_e2e_test torvel-displayd spine_usb_fault torvel-evdi-emu)
endif()
