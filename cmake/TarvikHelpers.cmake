# tarvik_add_library(<target> <module name> SOURCES ... [PUBLIC_LINKS ...] [PRIVATE_LINKS ...])
# A shared library named after its module, with a namespaced alias, include
# directories for the build and the install tree, and an install rule.
function(tarvik_add_library target alias)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(tarvik::${alias} ALIAS ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${alias})
  install(TARGETS ${target} EXPORT tarvikTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  endif()
endfunction()

# tarvik_add_test(<name> SOURCES ... [LINKS ...]): one GoogleTest program,
# its cases registered with CTest when the tests run.
function(tarvik_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINKS} tarvik_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "TARVIK_TEST_TMP=${PROJECT_BINARY_DIR}/test-tmp")
endfunction()
