# libusb under umockdev and libevdi under the EVDI interposer in one process:
# the interposer is linked ahead of umockdev's preload.
torvel_add_test(NAME evdi_usb_together_test LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/evdi_usb_together_test.cpp
  LINK_FIRST torvel-evdi-emu
  PRELOAD_UMOCKDEV
  LIBS evdi::evdi torvel_ids PkgConfig::LIBUSB PkgConfig::UMOCKDEV
  RESOURCE_LOCK evdi_proc_scan
  TIMEOUT 120
  ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")
target_include_directories(evdi_usb_together_test PRIVATE ${PROJECT_SOURCE_DIR}/application)
