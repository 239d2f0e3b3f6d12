# libevdi 1.12 against the emulated EVDI module, in one process. The tests
# rely on libevdi's scan of /proc for a process holding the card open, which
# any other test's holder (same card numbers) could satisfy: hence the lock.
torvel_add_test(NAME evdi_emu_test LABEL testbed
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/evdi_emu_test.cpp
  LINK_FIRST torvel-evdi-emu
  LIBS evdi::evdi torvel_ids
  RESOURCE_LOCK evdi_proc_scan
  TIMEOUT 120)
target_include_directories(evdi_emu_test PRIVATE ${PROJECT_SOURCE_DIR}/application)
