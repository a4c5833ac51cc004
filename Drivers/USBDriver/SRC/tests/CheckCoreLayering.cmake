# Fails when a source or header of the device core (CORE_DIR) includes a header of the kernel
# service (SERVICE_DIR, except the ALLOWED base and converter headers), or when the core or the
# base below it links a library of the service (CORE_LINKS against SERVICE_LIBRARIES).
# Lists are separated by "|".
cmake_minimum_required(VERSION 3.25)

foreach(variable CORE_DIR SERVICE_DIR ALLOWED CORE_LINKS SERVICE_LIBRARIES)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "CheckCoreLayering: ${variable} is not set")
  endif()
  string(REPLACE "|" ";" ${variable} "${${variable}}")
endforeach()

file(GLOB service_headers RELATIVE ${SERVICE_DIR} ${SERVICE_DIR}/*.h)
list(REMOVE_ITEM service_headers ${ALLOWED})
if(NOT service_headers)
  message(FATAL_ERROR "CheckCoreLayering: no service headers found in ${SERVICE_DIR}")
endif()

set(faults)
file(GLOB core_files ${CORE_DIR}/*.cpp ${CORE_DIR}/*.h)
foreach(path ${core_files})
  file(STRINGS ${path} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line ${includes})
    foreach(header ${service_headers})
      string(REPLACE "." "\\." pattern "${header}")
      if(line MATCHES "[\"</]${pattern}[\">]")
        get_filename_component(name ${path} NAME)
        list(APPEND faults "${name} includes the service header ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

foreach(library ${CORE_LINKS})
  if(library IN_LIST SERVICE_LIBRARIES)
    list(APPEND faults "the core links the service library ${library}")
  endif()
endforeach()

if(faults)
  string(REPLACE ";" "\n  " text "${faults}")
  message(FATAL_ERROR "The device core depends on the kernel service:\n  ${text}")
endif()
list(LENGTH core_files files)
message(STATUS "Checked ${files} core files: no service header included, no service library linked")
