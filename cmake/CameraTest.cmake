# Tests run inside the virtual camera: CTest starts each test program through
# sim/vcam, which gives it a fresh root with the camera's paths.
set(CAMERA_VCAM ${PROJECT_SOURCE_DIR}/sim/vcam)

# camera_add_gtest(<name> [BOARD] SOURCES <files...> [LIBS <libs...>]
#                  [PROGRAMS <targets...>] [VCAM_ARGS <args...>])
# PROGRAMS: the built programs the test runs in the camera.
# BOARD: the test needs none of the virtual camera's devices or programs, so
# the board build runs it too, under emulation.
function(camera_add_gtest name)
  cmake_parse_arguments(T "BOARD" "" "SOURCES;LIBS;PROGRAMS;VCAM_ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} camera_test_support GTest::gtest)
  target_compile_definitions(${name} PRIVATE
    CAMERA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" CAMERA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(T_BOARD)
    set_target_properties(${name} PROPERTIES CAMERA_BOARD_TEST ON)
  endif()
  if(T_PROGRAMS AND NOT CAMERA_BOARD)
    add_dependencies(${name} ${T_PROGRAMS})
  endif()
  camera_add_vcam_test(${name} ${name} VCAM_ARGS ${T_VCAM_ARGS})
endfunction()

# camera_add_vcam_test(<test name> <test program target> [BOARD] [VCAM_ARGS <args...>] [ARGS <args...>])
# One run of a test program in the virtual camera. In the board build only
# the BOARD tests and runs are built and run, through qemu's user-mode
# emulator, in a camera without devices (a BOARD run of another test
# program picks its device-free cases with ARGS).
function(camera_add_vcam_test name target)
  cmake_parse_arguments(T "BOARD" "" "VCAM_ARGS;ARGS" ${ARGN})
  set(run $<TARGET_FILE:${target}>)
  if(T_BOARD AND NOT CAMERA_BOARD)
    return()  # the test program's own run covers it
  endif()
  if(CAMERA_BOARD)
    get_target_property(board ${target} CAMERA_BOARD_TEST)
    if(T_BOARD)
      set_target_properties(${target} PROPERTIES EXCLUDE_FROM_ALL OFF CAMERA_BOARD_TEST ON)
    elseif(NOT board)
      set_target_properties(${target} PROPERTIES EXCLUDE_FROM_ALL ON)
      return()
    endif()
    set(run ${CMAKE_CROSSCOMPILING_EMULATOR} ${run})
  endif()
  add_test(NAME ${name}
    COMMAND ${CAMERA_VCAM} --build ${CMAKE_BINARY_DIR} ${T_VCAM_ARGS} -- ${run} ${T_ARGS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
