# Vector colour conversion and change test against the table conversion.
if(TARGET block_convert)
  torvel_add_test(NAME block_convert_test LABEL unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/block_convert_test.cpp
    LIBS block_convert)
endif()
