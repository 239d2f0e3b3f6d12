# The session helper that runs the daemon's X clients on the desktop, on fake
# desktops (fake loginctl, fake X servers, fake compositor tools).
if(TARGET torvel-xsession)
  add_executable(torvel-test-fake-x ${PROJECT_SOURCE_DIR}/tests/e2e/fake_xserver.c)
  torvel_add_test(NAME xsession_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/xsession_test.cpp
                  LIBS torvel_xsession)
  target_compile_definitions(xsession_test PRIVATE XSESSION_PATH="$<TARGET_FILE:torvel-xsession>"
                             FAKE_XSERVER_PATH="$<TARGET_FILE:torvel-test-fake-x>")
  add_dependencies(xsession_test torvel-xsession torvel-test-fake-x)
endif()
