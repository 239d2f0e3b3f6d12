if(TARGET torvel_usb_device AND TARGET torvel_daemon_core)
  torvel_add_test(NAME usb_scrn_hotplug_test LABEL unit PRELOAD_UMOCKDEV TIMEOUT 120
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_scrn_hotplug_test.cpp
                  LIBS torvel_daemon_core torvel_usb_device
                  ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${CMAKE_CURRENT_LIST_DIR}/usb_scrn_tsan.supp")
endif()
