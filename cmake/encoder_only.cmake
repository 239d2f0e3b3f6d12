# TORVEL_ENCODER_ONLY: the block encoder, the colour conversion and their
# unit tests, without the USB, EVDI and emulator dependencies of the daemon.
# This is what the cross build for AArch64 compiles and runs under qemu-user
# (scripts/cross-aarch64.sh), so every vector path is proved on NEON too.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(HWY REQUIRED IMPORTED_TARGET libhwy)

add_subdirectory(application/jpeg_enc)
if(EXISTS ${PROJECT_SOURCE_DIR}/application/convert/CMakeLists.txt)
  add_subdirectory(application/convert)
endif()

if(NOT TORVEL_BUILD_TESTS)
  return()
endif()
enable_testing()
find_package(GTest REQUIRED)

set(TORVEL_UNIT_DIR ${PROJECT_SOURCE_DIR}/tests/unit)

# One test program per test, linked only against GoogleTest (not gmock).
function(torvel_encoder_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${TORVEL_UNIT_DIR})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS unit TIMEOUT 600)
endfunction()

torvel_encoder_test(jpeg_enc_tables_test
  SOURCES ${TORVEL_UNIT_DIR}/jpeg_enc_tables_test.cpp
  LIBS jpeg_enc)
torvel_encoder_test(jpeg_enc_encode_test
  SOURCES ${TORVEL_UNIT_DIR}/jpeg_enc_encode_test.cpp ${TORVEL_UNIT_DIR}/jpeg_enc_oracle.cpp
  LIBS jpeg_enc)
if(TARGET block_convert)
  torvel_encoder_test(block_convert_test
    SOURCES ${TORVEL_UNIT_DIR}/block_convert_test.cpp
    LIBS block_convert)
endif()
