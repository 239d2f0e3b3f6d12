# bench runs the daemon's own frame path.
if(TARGET torvel_daemon_core)
  target_link_libraries(torvel-stream PRIVATE torvel_daemon_core)
endif()
