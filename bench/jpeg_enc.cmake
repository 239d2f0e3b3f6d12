add_executable(jpeg_enc_bench ${CMAKE_CURRENT_LIST_DIR}/jpeg_enc_bench.cpp)
target_link_libraries(jpeg_enc_bench PRIVATE jpeg_enc block_convert PkgConfig::TURBOJPEG
                      benchmark::benchmark)
