if(TARGET torvel_daemon_core AND TARGET torvel-stream)
  torvel_add_test(NAME encode_frames_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/encode_frames_test.cpp
                  LIBS jpeg_enc torvel_stream_decoder)
  add_dependencies(encode_frames_test torvel-stream)
  target_compile_definitions(encode_frames_test PRIVATE
                             TORVEL_STREAM_BIN="$<TARGET_FILE:torvel-stream>")
endif()

# torvel-stream's command line, inspect and decode over encode-frames' output.
if(TARGET torvel-stream)
  torvel_add_test(NAME stream_tool_test LABEL unit
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_tool_test.cpp
                  LIBS torvel_stream_input torvel_stream_decoder)
  add_dependencies(stream_tool_test torvel-stream)
  target_compile_definitions(stream_tool_test PRIVATE TORVEL_STREAM_BIN="$<TARGET_FILE:torvel-stream>"
                             TORVEL_VERSION="${PROJECT_VERSION}")
endif()
