# vek_add_test(NAME SOURCES file... LIBS lib... [GUI])
# One GoogleTest executable; its cases are registered with CTest one by one.
# GUI tests run on the offscreen platform so that no display is needed.
function(vek_add_test name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    VEK_SOURCE_DIR="${PROJECT_SOURCE_DIR}" VEK_BINARY_DIR="${PROJECT_BINARY_DIR}")
  # Only one variable goes through the environment: gtest_discover_tests
  # loses every list separator, so paths travel as compile definitions.
  set(env "QT_QPA_PLATFORM=offscreen")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${env}" TIMEOUT 120)
endfunction()

# vek_add_xvfb_screenshots(NAME TARGET)
# The screenshot test TARGET again as NAME, in a private X server, where
# xvfb-run is installed; its pictures get the "_xvfb" tag. xvfb-run -a picks
# a display number with a race: one X server test at a time.
function(vek_add_xvfb_screenshots name target)
  find_program(XVFB_RUN xvfb-run)
  if(XVFB_RUN)
    add_test(NAME ${name}
      COMMAND ${XVFB_RUN} -a -s "-screen 0 1280x1024x24"
              env QT_QPA_PLATFORM=xcb VEK_SCREENSHOT_TAG=_xvfb $<TARGET_FILE:${target}>)
    set_tests_properties(${name} PROPERTIES TIMEOUT 120 RESOURCE_LOCK xserver)
  endif()
endfunction()
