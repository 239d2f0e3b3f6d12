# The udev rule generated from device_ids.h, and its generator.
get_property(torvel_udev_rule GLOBAL PROPERTY TORVEL_UDEV_RULE)
if(torvel_udev_rule)
  # udevadm test under umockdev, in a private mount namespace.
  torvel_add_test(NAME packaging_udev_rule_test LABEL unit
                  SOURCES ${PROJECT_SOURCE_DIR}/tests/packaging/udev_rule_test.cpp
                  LIBS torvel_ids)
  target_compile_definitions(packaging_udev_rule_test PRIVATE TORVEL_UDEV_RULE_PATH="${torvel_udev_rule}")

  add_test(NAME packaging_udev_rule_generator
           COMMAND ${CMAKE_COMMAND} -DGENERATOR=${PROJECT_SOURCE_DIR}/packaging/DeviceIdsUdevRule.cmake
                   -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/udev_rule_generator
                   -P ${PROJECT_SOURCE_DIR}/tests/packaging/udev_rule_generator_test.cmake)
  set_tests_properties(packaging_udev_rule_generator PROPERTIES LABELS unit)
endif()

# The tmpfiles.d entry, under the real systemd-tmpfiles.
get_property(torvel_tmpfiles_conf GLOBAL PROPERTY TORVEL_TMPFILES_CONF)
if(torvel_tmpfiles_conf)
  torvel_add_test(NAME packaging_tmpfiles_test LABEL unit
                  SOURCES ${PROJECT_SOURCE_DIR}/tests/packaging/tmpfiles_test.cpp)
  target_compile_definitions(packaging_tmpfiles_test PRIVATE TORVEL_TMPFILES_CONF="${torvel_tmpfiles_conf}")
endif()
