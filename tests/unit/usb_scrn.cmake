if(TARGET torvel_usb_device AND TARGET usb_scrn)
  torvel_add_test(NAME usb_scrn_test LABEL unit PRELOAD_UMOCKDEV TIMEOUT 120
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_scrn_test.cpp
                  LIBS usb_scrn torvel_usb_device)
endif()
