# Configures this project as a machine without Qt would see it: the wizard
# off, and Qt and libjpeg both disabled and required at once, so that any
# find_package() of either one, required or optional, fails the
# configuration. Then checks that what is left is still the command line with
# its tests, and no trace of the wizard, and that cpack would make the
# command line's package alone.
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -P WithoutQt.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${BINARY_DIR}")
# Ask for the targets through CMake's file API, whatever the generator.
file(WRITE "${BINARY_DIR}/.cmake/api/v1/query/codemodel-v2" "")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -DTAMARIND_GUI=OFF
          -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_REQUIRE_FIND_PACKAGE_Qt6=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON -DCMAKE_REQUIRE_FIND_PACKAGE_JPEG=ON
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "Configuring with TAMARIND_GUI=OFF looked for Qt or libjpeg, "
                      "or failed otherwise:\n${output}")
endif()

set(reply "${BINARY_DIR}/.cmake/api/v1/reply")
file(GLOB index "${reply}/index-*.json")
file(READ "${index}" json)
string(JSON codemodel_file GET "${json}" reply codemodel-v2 jsonFile)
file(READ "${reply}/${codemodel_file}" json)
string(JSON target_list GET "${json}" configurations 0 targets)
string(JSON count LENGTH "${target_list}")
set(targets "")
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  string(JSON name GET "${target_list}" ${i} name)
  list(APPEND targets "${name}")
endforeach()

foreach(wanted tamarind_engine tamarind-cli cli_test run_test fault_test probe_replay)
  if(NOT wanted IN_LIST targets)
    message(FATAL_ERROR "Without the wizard, the target ${wanted} is missing. Targets: ${targets}")
  endif()
endforeach()
foreach(unwanted tamarind tamarind_gui main_dialog_test settings_replay)
  if(unwanted IN_LIST targets)
    message(FATAL_ERROR "Without the wizard, the target ${unwanted} is still made")
  endif()
endforeach()
message(STATUS "Without the wizard: ${targets}")

# cpack makes the one package of the command line, by its own name.
include("${BINARY_DIR}/CPackConfig.cmake")
if(NOT CPACK_COMPONENTS_ALL STREQUAL "cli" OR NOT CPACK_DEBIAN_CLI_PACKAGE_NAME STREQUAL "tamarind-cli")
  message(FATAL_ERROR "Without the wizard, cpack would package the components "
                      "[${CPACK_COMPONENTS_ALL}], not [cli] as tamarind-cli")
endif()
file(REMOVE_RECURSE "${BINARY_DIR}")
