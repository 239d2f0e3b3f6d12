# The emulated USB display device and its stream decoder.
torvel_add_test(NAME usb_device_decoder LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_device_decoder.cpp
  LIBS torvel_stream_decoder
  TIMEOUT 60)
