# Feeds the udev rule generator headers spelled in other ways than today's
# device_ids.h, and broken ones. Run as:
#   cmake -DGENERATOR=<DeviceIdsUdevRule.cmake> -DWORK_DIR=<dir> -P udev_rule_generator_test.cmake
cmake_minimum_required(VERSION 3.25)
foreach(v GENERATOR WORK_DIR)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "${v} is not set")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

set(failures 0)
macro(fail text)
  message(SEND_ERROR "FAIL: ${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

# Runs the generator on a header; sets rc, rule (text of the output) and err.
function(generate name header_text)
  set(h "${WORK_DIR}/${name}.h")
  set(out "${WORK_DIR}/${name}.rules")
  file(WRITE "${h}" "${header_text}")
  file(REMOVE "${out}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DIDS_HEADER=${h} -DOUTPUT=${out} -DSERVICE=x.service
                          -P "${GENERATOR}"
                  RESULT_VARIABLE r ERROR_VARIABLE e OUTPUT_QUIET)
  set(text "")
  if(EXISTS "${out}")
    file(READ "${out}" text)
  endif()
  set(rc "${r}" PARENT_SCOPE)
  set(err "${e}" PARENT_SCOPE)
  set(rule "${text}" PARENT_SCOPE)
endfunction()

# The (vendor product) pairs the rule matches, as "vvvv:pppp" items.
function(matched_pairs rule_text out_var)
  string(REGEX MATCHALL "ATTR{idVendor}==\"[0-9a-f]+\", ATTR{idProduct}==\"[0-9a-f]+\"" lines "${rule_text}")
  set(pairs "")
  foreach(l IN LISTS lines)
    string(REGEX REPLACE ".*idVendor}==\"([0-9a-f]+)\".*idProduct}==\"([0-9a-f]+)\"" "\\1:\\2" p "${l}")
    list(APPEND pairs "${p}")
  endforeach()
  set(${out_var} "${pairs}" PARENT_SCOPE)
endfunction()

# Spelled differently: split over lines, upper-case hex, short ids, a trailing
# comma, and comments holding ids that must not be picked up.
generate(variant "\
#pragma once
#include <cstdint>
// old: inline constexpr int32_t VENDOR_ID = 0xdead;
inline constexpr int32_t VENDOR_ID=0X1209;
inline constexpr int32_t PID_NUM = 3;
/* PRODUCT_ID[0] = {0xbeef} was the prototype */
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {
    0x7D0A,  // first
    0xab,
    0x0000FFFF,
};
")
matched_pairs("${rule}" pairs)
if(NOT rc EQUAL 0)
  fail("variant header: generator failed: ${err}")
elseif(NOT pairs STREQUAL "1209:7d0a;1209:00ab;1209:ffff")
  fail("variant header: rule matches '${pairs}'")
elseif(NOT rule MATCHES "ENV{SYSTEMD_WANTS}\\+=\"x.service\"")
  fail("variant header: rule does not want the given service")
endif()

# Broken headers: each must fail and leave no rule behind.
set(bad_count "inline constexpr int32_t VENDOR_ID = 0x1209;
inline constexpr int32_t PID_NUM = 3;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x7d01, 0x7d02};")
set(bad_wide "inline constexpr int32_t VENDOR_ID = 0x1209;
inline constexpr int32_t PID_NUM = 1;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x17d01};")
set(bad_decimal "inline constexpr int32_t VENDOR_ID = 4617;
inline constexpr int32_t PID_NUM = 1;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x7d01};")
set(bad_duplicate "inline constexpr int32_t VENDOR_ID = 0x1209;
inline constexpr int32_t PID_NUM = 2;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x7d01, 0x7D01};")
set(bad_missing "inline constexpr int32_t PID_NUM = 1;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {0x7d01};")
set(bad_symbolic "inline constexpr int32_t VENDOR_ID = 0x1209;
inline constexpr int32_t PID_NUM = 1;
inline constexpr int32_t PRODUCT_ID[PID_NUM] = {BASE_PID};")
foreach(case bad_count bad_wide bad_decimal bad_duplicate bad_missing bad_symbolic)
  generate(${case} "${${case}}")
  if(rc EQUAL 0)
    fail("${case}: generator accepted the header")
  elseif(NOT rule STREQUAL "")
    fail("${case}: generator failed but wrote a rule")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} case(s) failed")
endif()
message(STATUS "udev rule generator: all cases passed")
