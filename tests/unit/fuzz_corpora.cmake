# The seed corpus of every fuzz target, with the inputs that once found a
# fault, replayed through the same target built like every other test.
if(TARGET usb_scrn AND TARGET torvel_stream_input)
  include(${PROJECT_SOURCE_DIR}/fuzz/targets.cmake)
  foreach(name ${TORVEL_FUZZ_TARGETS})
    torvel_add_test(NAME fuzz_${name}_replay LABEL unit
                    SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_replay.cpp
                    ENV "TORVEL_FUZZ_CORPUS=${TORVEL_FUZZ_DIR}/corpus/${name}")
    torvel_fuzz_target_parts(fuzz_${name}_replay ${name})
  endforeach()
endif()
