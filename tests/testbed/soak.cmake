# The soak's plans (valid torvel-sim input, the same for a seed) and its
# judgement of identities and pictures.
if(TARGET torvel_soak)
  torvel_add_test(NAME soak_test LABEL testbed
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak_test.cpp
    LIBS torvel_soak)
endif()
