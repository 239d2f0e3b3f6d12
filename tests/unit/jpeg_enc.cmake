# Block encoder: tables, transform, entropy coder, marker writers, and checks
# against libjpeg-turbo.
add_library(jpeg_enc_test_oracle STATIC ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_oracle.cpp)
target_link_libraries(jpeg_enc_test_oracle PUBLIC jpeg_enc)

torvel_add_test(NAME jpeg_enc_tables_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_tables_test.cpp
  LIBS jpeg_enc)

torvel_add_test(NAME jpeg_enc_encode_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_encode_test.cpp
  LIBS jpeg_enc_test_oracle)

torvel_add_test(NAME jpeg_enc_libjpeg_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_libjpeg_test.cpp
  LIBS jpeg_enc PkgConfig::TURBOJPEG)

torvel_add_test(NAME jpeg_enc_tool_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_tool_test.cpp
  LIBS jpeg_enc
  ENV "TORVEL_STREAM=$<TARGET_FILE:torvel-stream>")
add_dependencies(jpeg_enc_tool_test torvel-stream)
