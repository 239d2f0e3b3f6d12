# The frame path against libjpeg-turbo and the memory floor.
if(TARGET torvel_daemon_core)
  add_executable(frame_path_bench ${CMAKE_CURRENT_LIST_DIR}/frame_path.cpp)
  target_link_libraries(frame_path_bench PRIVATE torvel_daemon_core PkgConfig::TURBOJPEG
                        benchmark::benchmark)
endif()
