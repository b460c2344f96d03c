# Checks the include directories of every compiled file against the layout:
# common/ sees nothing of src/, xosys/ or tools/; xosys/, the responder, the
# agent and the tools' shared flags see nothing of src/; src/ sees nothing of
# xosys/ or tools/; the run's results (src/results), the fleet merge and the
# comparison see nothing of the program's sender. It also refuses
# #include lines that climb out of a file's folder ("../").
#
#   cmake -DSOURCE_DIR=<repo> -DCOMPILE_COMMANDS=<build>/compile_commands.json -P CheckIncludes.cmake
cmake_minimum_required(VERSION 3.25)

file(READ "${COMPILE_COMMANDS}" json)
string(JSON count LENGTH "${json}")
if(count EQUAL 0)
  message(FATAL_ERROR "no compiled files in ${COMPILE_COMMANDS}")
endif()

# The folders each part must not see.
set(barred_common src xosys tools)
set(barred_xosys src)
set(barred_tools_responder src)
set(barred_tools_agent src)
set(barred_tools_common src)
set(barred_src xosys tools)
set(barred_src_results xosys tools src/sender)
set(barred_tools_fleet xosys src/sender)
set(barred_tools_compare xosys src/sender)

set(faults "")
set(checked 0)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON file GET "${json}" ${i} file)
  file(RELATIVE_PATH rel "${SOURCE_DIR}" "${file}")
  if(rel MATCHES "^(common|xosys|tools/responder|tools/agent|tools/common|tools/fleet|tools/compare|src/results|src)/")
    string(REPLACE "/" "_" part "${CMAKE_MATCH_1}")
  else()
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  string(JSON command ERROR_VARIABLE no_command GET "${json}" ${i} command)
  if(no_command)
    message(FATAL_ERROR "entry ${i} has no command")
  endif()
  string(REGEX MATCHALL " (-I|-isystem )[^ ]+" dirs " ${command}")
  foreach(dir IN LISTS dirs)
    string(REGEX REPLACE "^ (-I|-isystem )" "" dir "${dir}")
    file(RELATIVE_PATH dir_rel "${SOURCE_DIR}" "${dir}")
    foreach(barred IN LISTS barred_${part})
      if(dir_rel MATCHES "^${barred}(/|$)")
        list(APPEND faults "${rel} is compiled with ${dir_rel} on its include path")
      endif()
    endforeach()
  endforeach()
  file(STRINGS "${file}" climbing REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][^\">]*\\.\\./")
  foreach(line IN LISTS climbing)
    list(APPEND faults "${rel}: ${line}")
  endforeach()
endforeach()

if(checked EQUAL 0)
  message(FATAL_ERROR "no file of common/, src/, xosys/ or tools/ was compiled")
endif()
if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "Layout broken:\n  ${text}")
endif()
message(STATUS "${checked} files keep to the layout")
