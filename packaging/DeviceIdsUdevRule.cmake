# Writes the udev rule for the daemon's devices from the USB ids in
# application/device_ids.h, so the rule and the daemon never disagree.
#
# As a module:  include(DeviceIdsUdevRule)
#               torvel_write_udev_rule(<device_ids.h> <output> <service>)
# As a script:  cmake -DIDS_HEADER=<h> -DOUTPUT=<rule> -DSERVICE=<unit> -P DeviceIdsUdevRule.cmake
#
# A header the parser does not understand is a hard error: a rule silently
# missing a product id would leave that model without access or service start.

# Turns "0x7D01" into "7d01" (udev's sysfs spelling: four lowercase digits).
function(_torvel_usb_id_to_udev hex out_var)
  string(STRIP "${hex}" hex)
  if(NOT hex MATCHES "^0[xX]([0-9a-fA-F]+)$")
    message(FATAL_ERROR "device_ids.h: '${hex}' is not a hexadecimal USB id")
  endif()
  string(TOLOWER "${CMAKE_MATCH_1}" digits)
  string(REGEX REPLACE "^0+" "" digits "${digits}")
  string(LENGTH "${digits}" len)
  if(len GREATER 4)
    message(FATAL_ERROR "device_ids.h: USB id '${hex}' does not fit in 16 bits")
  endif()
  while(len LESS 4)
    string(PREPEND digits "0")
    math(EXPR len "${len} + 1")
  endwhile()
  set(${out_var} "${digits}" PARENT_SCOPE)
endfunction()

# Reads VENDOR_ID, PID_NUM and PRODUCT_ID[] from the header.
function(torvel_read_device_ids header vendor_var products_var)
  file(READ "${header}" text)
  # Comments could hold ids of their own; drop them before matching.
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")

  if(NOT text MATCHES "VENDOR_ID[ \t\r\n]*=[ \t\r\n]*(0[xX][0-9a-fA-F]+)")
    message(FATAL_ERROR "${header}: no 'VENDOR_ID = 0x....' found")
  endif()
  _torvel_usb_id_to_udev("${CMAKE_MATCH_1}" vendor)

  if(NOT text MATCHES "PID_NUM[ \t\r\n]*=[ \t\r\n]*([0-9]+)")
    message(FATAL_ERROR "${header}: no 'PID_NUM = <count>' found")
  endif()
  set(count "${CMAKE_MATCH_1}")

  if(NOT text MATCHES "PRODUCT_ID[ \t\r\n]*\\[[^]]*\\][ \t\r\n]*=[ \t\r\n]*{([^}]*)}")
    message(FATAL_ERROR "${header}: no 'PRODUCT_ID[...] = {...}' initializer found")
  endif()
  string(REPLACE "," ";" items "${CMAKE_MATCH_1}")
  set(products "")
  foreach(item IN LISTS items)
    string(STRIP "${item}" item)
    if(item STREQUAL "")
      continue()  # trailing comma
    endif()
    _torvel_usb_id_to_udev("${item}" product)
    list(APPEND products "${product}")
  endforeach()
  list(LENGTH products n)
  if(NOT n EQUAL count)
    message(FATAL_ERROR "${header}: PRODUCT_ID has ${n} ids but PID_NUM is ${count}")
  endif()
  list(REMOVE_DUPLICATES products)
  list(LENGTH products unique)
  if(NOT unique EQUAL n)
    message(FATAL_ERROR "${header}: PRODUCT_ID lists an id twice")
  endif()

  set(${vendor_var} "${vendor}" PARENT_SCOPE)
  set(${products_var} "${products}" PARENT_SCOPE)
endfunction()

function(torvel_write_udev_rule header output service)
  torvel_read_device_ids("${header}" vendor products)
  set(end "torvel_display_end")
  set(match "")
  foreach(p IN LISTS products)
    string(APPEND match
           "ATTR{idVendor}==\"${vendor}\", ATTR{idProduct}==\"${p}\", GOTO=\"torvel_display_device\"\n")
  endforeach()
  set(content "\
# USB display devices served by ${service}.
# Generated from application/device_ids.h when the build is configured: change
# the ids there, not here.
#
# The service runs as root; members of plugdev may open the devices too. The
# systemd tag and SYSTEMD_WANTS start the service when a device is plugged in.
# A running daemon ends by itself when a further device arrives and systemd
# restarts it (Restart=always), so the new device is served by the next start.
#
# Only \"remove\" is skipped: dropping the tag on \"change\" or \"bind\" events
# would make systemd forget the device.
ACTION==\"remove\", GOTO=\"${end}\"
SUBSYSTEM!=\"usb\", GOTO=\"${end}\"
ENV{DEVTYPE}!=\"usb_device\", GOTO=\"${end}\"
${match}GOTO=\"${end}\"

LABEL=\"torvel_display_device\"
MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"systemd\", ENV{SYSTEMD_WANTS}+=\"${service}\"

LABEL=\"${end}\"
")
  # Rewriting an unchanged file would only make the build redo work.
  file(CONFIGURE OUTPUT "${output}" CONTENT "${content}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(v IDS_HEADER OUTPUT SERVICE)
    if(NOT DEFINED ${v})
      message(FATAL_ERROR "usage: cmake -DIDS_HEADER=<h> -DOUTPUT=<rule> -DSERVICE=<unit> -P ${CMAKE_CURRENT_LIST_FILE}")
    endif()
  endforeach()
  torvel_write_udev_rule("${IDS_HEADER}" "${OUTPUT}" "${SERVICE}")
endif()
