# Helpers that give every part of the project the same build and install shape.
#
# The installed layout (relative to the prefix; GNUInstallDirs names):
#   bin/                       programs (tarvik-run, tarvik-inspect, ...)
#   lib/                       our shared libraries with versioned names and
#                              SONAME lib<target>.so.<major>, the unversioned
#                              lib<target>.so link beside each (import_module
#                              opens modules by that name, next to
#                              libtarvik_core), ONNX Runtime's library, and
#                              the example plugins (orchestrations name them
#                              by bare file name, looked up next to tarvik_core)
#   lib/cmake/tarvik/          tarvikConfig.cmake, its version file, targets
#   lib/pkgconfig/tarvik.pc
#   include/tarvik_core/, include/tarvik_inference/, ...   public headers
#   share/tarvik/examples/     example orchestrations and their models
#   share/doc/tarvik/          README and docs
# Programs carry the rpath $ORIGIN/../lib and libraries and modules $ORIGIN:
# nothing installed needs LD_LIBRARY_PATH or other variables, and the prefix
# may be moved.
#
# How to add a part that installs:
# - a library others link: tarvik_add_library (below). It is exported as
#   tarvik::<module name> in tarvikTargets; when it links a new third-party
#   target PUBLIC, add the matching find_dependency to cmake/tarvikConfig.cmake.in
#   (the install test fails on a target the package cannot resolve);
# - a program: tarvik_install_programs(<target>...);
# - a plugin or module opened at run time (add_library(... MODULE ...)):
#   tarvik_install_modules(<target>...), which puts it next to tarvik_core.

# tarvik_add_library(<target> <module name> SOURCES ... [PUBLIC_LINKS ...] [PRIVATE_LINKS ...])
# A shared library named after its module, with a namespaced alias, include
# directories for the build and the install tree, a versioned file name with
# SONAME lib<target>.so.<major>, and an install rule that exports it. Its
# public headers live in include/ next to its CMakeLists.txt and must include
# nothing beyond the standard library, Boost and our own headers (private
# dependencies such as nlohmann_json or spdlog are not installed with us).
function(tarvik_add_library target alias)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINKS;PRIVATE_LINKS" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(tarvik::${alias} ALIAS ${target})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  # The public headers use coroutines: whoever includes them needs C++20.
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_link_libraries(${target} PUBLIC ${ARG_PUBLIC_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${alias}
    INSTALL_RPATH "$ORIGIN"
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  # The unversioned link goes with the library, not into a separate
  # development component: lazily loaded modules are opened through it.
  install(TARGETS ${target} EXPORT tarvikTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include)
    install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  endif()
endfunction()

# tarvik_install_programs(<target>...): programs into bin/.
function(tarvik_install_programs)
  install(TARGETS ${ARGN} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# tarvik_install_modules(<target>...): MODULE libraries (plugins) into lib/,
# next to tarvik_core, where bare plugin names and module names are looked up.
function(tarvik_install_modules)
  set_target_properties(${ARGN} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${ARGN} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
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
