# Board build only: compile-time checks of the ioctl numbers and records the
# programs exchange with the board's drivers and devices (a failed check
# fails the build), and a test that every program built is a 32-bit ARM
# hard-float executable.

# <folder>/board_layout.c of every folder that has one; the kernel drivers'
# records compile against the kernel headers' stand-ins.
add_library(camera_board_layout OBJECT
  ${PROJECT_SOURCE_DIR}/api_cpp/board_layout.c
  ${PROJECT_SOURCE_DIR}/src/controller/device/board_layout.c
  ${PROJECT_SOURCE_DIR}/drivers/char/tests/board_layout.c)
target_include_directories(camera_board_layout PRIVATE ${PROJECT_SOURCE_DIR}/drivers/char)
set_source_files_properties(${PROJECT_SOURCE_DIR}/drivers/char/tests/board_layout.c PROPERTIES
  INCLUDE_DIRECTORIES ${PROJECT_SOURCE_DIR}/sim/kernel/include
  COMPILE_DEFINITIONS __KERNEL__)
if(EXISTS ${PROJECT_SOURCE_DIR}/fwflash/board_layout.c)
  target_sources(camera_board_layout PRIVATE ${PROJECT_SOURCE_DIR}/fwflash/board_layout.c)
endif()
# Part of every build of the tree.
add_custom_target(camera_board_checks ALL DEPENDS camera_board_layout)

if(NOT BUILD_TESTING)
  return()
endif()

# Every executable of the tree that the board build makes.
function(camera_collect_programs dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  set(found "")
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    get_target_property(excluded ${t} EXCLUDE_FROM_ALL)
    if(type STREQUAL "EXECUTABLE" AND NOT excluded)
      list(APPEND found $<TARGET_FILE:${t}>)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    camera_collect_programs(${sub} more)
    list(APPEND found ${more})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()
camera_collect_programs(${PROJECT_SOURCE_DIR} camera_board_programs)
add_test(NAME board_programs_arm
  COMMAND ${CAMERA_VCAM} --build ${CMAKE_BINARY_DIR} --lenses 0 --
    /bin/sh ${CMAKE_CURRENT_LIST_DIR}/check-arm-elf.sh ${camera_board_programs})
