# torvel-stream decode uses the device-side stream decoder of the testbed.
target_link_libraries(torvel-stream PRIVATE torvel_stream_decoder)
