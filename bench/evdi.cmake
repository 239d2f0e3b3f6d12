add_executable(evdi_grab_bench ${CMAKE_CURRENT_LIST_DIR}/evdi_grab_bench.cpp)
target_include_directories(evdi_grab_bench PRIVATE ${PROJECT_SOURCE_DIR}/application)
target_link_libraries(evdi_grab_bench PRIVATE
  "-Wl,--push-state,--no-as-needed" torvel-evdi-emu "-Wl,--pop-state"
  evdi::evdi benchmark::benchmark)
