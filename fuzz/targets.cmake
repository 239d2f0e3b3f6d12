# The fuzz targets, for the libFuzzer build (fuzz/CMakeLists.txt) and for the
# suite's replay of their corpora (tests/unit/fuzz_corpora.cmake). Each is
# fuzz/<name>.cpp, which defines LLVMFuzzerTestOneInput, with its seed
# corpus in fuzz/corpus/<name>/. The daemon's sources a target drives are
# compiled into it, so that the fuzz build compiles only those.
set(TORVEL_FUZZ_DIR ${PROJECT_SOURCE_DIR}/fuzz)
set(TORVEL_FUZZ_TARGETS identity_file control_replies stream_decoder stream_tool_input)

set(TORVEL_FUZZ_identity_file_SOURCES
  ${PROJECT_SOURCE_DIR}/application/daemon/registry.cpp
  ${PROJECT_SOURCE_DIR}/application/daemon/state.cpp
  ${PROJECT_SOURCE_DIR}/application/daemon/render_wake.cpp)
set(TORVEL_FUZZ_identity_file_LIBS PkgConfig::LIBUSB evdi::evdi torvel_ids Threads::Threads)

set(TORVEL_FUZZ_control_replies_SOURCES
  ${PROJECT_SOURCE_DIR}/application/daemon/edid.cpp)
set(TORVEL_FUZZ_control_replies_LIBS usb_scrn)

set(TORVEL_FUZZ_stream_decoder_SOURCES "")
set(TORVEL_FUZZ_stream_decoder_LIBS torvel_stream_decoder)

set(TORVEL_FUZZ_stream_tool_input_SOURCES "")
set(TORVEL_FUZZ_stream_tool_input_LIBS torvel_stream_input)

# Adds target `target` for fuzz target `name`: its sources, the daemon's
# include folders and its libraries.
function(torvel_fuzz_target_parts target name)
  target_sources(${target} PRIVATE ${TORVEL_FUZZ_DIR}/${name}.cpp ${TORVEL_FUZZ_${name}_SOURCES})
  target_include_directories(${target} PRIVATE ${TORVEL_FUZZ_DIR}
    ${PROJECT_SOURCE_DIR}/application ${PROJECT_SOURCE_DIR}/application/daemon)
  target_link_libraries(${target} PRIVATE ${TORVEL_FUZZ_${name}_LIBS})
endfunction()
