# The emulated USB display device and its stream decoder.
torvel_add_test(NAME usb_device_decoder LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_device_decoder.cpp
  LIBS torvel_stream_decoder
  TIMEOUT 60)

# A libusb client in the same process as the emulated devices, and one in a
# process of its own (usb_device_client, started under the preload).
add_executable(usb_device_client ${CMAKE_CURRENT_LIST_DIR}/usb_device_client.cpp)
target_link_libraries(usb_device_client PRIVATE torvel_stream_decoder torvel_usb_device
                      PkgConfig::LIBUSB)
torvel_add_test(NAME usb_device_emulator LABEL testbed PRELOAD_UMOCKDEV
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_device_emulator.cpp
  LIBS torvel_usb_device PkgConfig::LIBUSB
  ENV "USB_DEVICE_CLIENT=$<TARGET_FILE:usb_device_client>"
  TIMEOUT 120)
add_dependencies(usb_device_emulator usb_device_client)
set_property(TEST usb_device_emulator APPEND PROPERTY ENVIRONMENT
  "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/tests/unit/capture_tsan.supp")

# torvel-stream decode, run as a program.
torvel_add_test(NAME usb_device_decode_tool LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_device_decode_tool.cpp
  LIBS torvel_stream_decoder
  ENV "TORVEL_STREAM=$<TARGET_FILE:torvel-stream>"
  TIMEOUT 60)
add_dependencies(usb_device_decode_tool torvel-stream)
