# Tests run inside the virtual camera: CTest starts each test program through
# sim/vcam, which gives it a fresh root with the camera's paths.
set(CAMERA_VCAM ${PROJECT_SOURCE_DIR}/sim/vcam)

# camera_add_gtest(<name> SOURCES <files...> [LIBS <libs...>] [VCAM_ARGS <args...>])
function(camera_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;VCAM_ARGS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} camera_test_support GTest::gtest)
  target_compile_definitions(${name} PRIVATE
    CAMERA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" CAMERA_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name}
    COMMAND ${CAMERA_VCAM} --build ${CMAKE_BINARY_DIR} ${T_VCAM_ARGS} -- $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
