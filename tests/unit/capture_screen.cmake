# Virtual screens and capture against the real libevdi (EVDI interposer,
# linked ahead of umockdev's preload) and an emulated USB display device.
if(TARGET torvel_daemon_core AND TARGET torvel-evdi-emu AND TARGET torvel_usb_device)
  torvel_add_test(NAME capture_screen_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_screen_test.cpp
                  LINK_FIRST torvel-evdi-emu
                  PRELOAD_UMOCKDEV
                  LIBS torvel_daemon_core torvel_usb_device PkgConfig::LIBUSB
                  RESOURCE_LOCK evdi_proc_scan
                  TIMEOUT 240
                  ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_CURRENT_LIST_DIR}/capture_tsan.supp")
endif()
