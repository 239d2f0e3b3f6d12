# encode-frames runs the daemon's own capture code.
if(TARGET torvel_daemon_core)
  target_link_libraries(torvel-stream PRIVATE torvel_daemon_core)
endif()
