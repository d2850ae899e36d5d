# Installs the build tree into a fresh prefix and uses it from outside:
# checks what was installed (rpaths, library names, public headers), builds
# tests/install/outside against it with find_package and pkg-config, and runs
# that host, and the installed tarvik-run from a moved prefix, with an empty
# environment.
# Arguments (-D): BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, MAKE_PROGRAM,
# CXX_COMPILER, LAUNCHER (may be empty), LIBDIR (GNUInstallDirs' name).
cmake_minimum_required(VERSION 3.25)
set(prefix ${WORK_DIR}/prefix)

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

function(expect_output what pattern)
  if(NOT output MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: expected output matching '${pattern}', got:\n${output}")
  endif()
endfunction()

# A fresh prefix each time, so a file left from an earlier run cannot stand
# in for an install rule that went missing.
file(REMOVE_RECURSE ${prefix} ${WORK_DIR}/moved-prefix)
run_checked("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Every installed binary finds its libraries relative to itself.
file(GLOB binaries ${prefix}/bin/* ${prefix}/${LIBDIR}/*.so*)
foreach(binary ${binaries})
  if(IS_SYMLINK ${binary})
    continue()
  endif()
  file(READ_ELF ${binary} RUNPATH runpath RPATH rpath CAPTURE_ERROR not_elf)
  if(not_elf)
    continue()
  endif()
  foreach(entry IN LISTS runpath rpath)
    string(REPLACE ":" ";" entry "${entry}")
    foreach(folder IN LISTS entry)
      if(NOT folder MATCHES "^\\$ORIGIN")
        message(FATAL_ERROR "${binary} has the rpath entry '${folder}': installed files must use $ORIGIN")
      endif()
    endforeach()
  endforeach()
endforeach()

# Versioned libraries with their SONAME link and the plain name that lazily
# loaded modules are opened by.
foreach(library tarvik_core tarvik_inference_moldrix tarvik_inference_runvane)
  foreach(name lib${library}.so lib${library}.so.0)
    if(NOT EXISTS ${prefix}/${LIBDIR}/${name})
      message(FATAL_ERROR "missing ${prefix}/${LIBDIR}/${name}")
    endif()
  endforeach()
endforeach()

# Public headers include only the standard library, Boost and each other:
# the private dependencies (JSON, logging, ONNX) are not part of the package.
# The protocol's generated headers are protoc's output for C++ clients: they
# include protobuf and gRPC and each other by file name, as such code does.
file(GLOB_RECURSE headers RELATIVE ${prefix}/include ${prefix}/include/*)
list(FILTER headers EXCLUDE REGEX "^tarvik_remote/generated/")
foreach(header ${headers})
  file(STRINGS ${prefix}/include/${header} includes REGEX "^[ \t]*#[ \t]*include")
  foreach(line ${includes})
    if(line MATCHES "\"([^\"]+)\"")
      if(NOT EXISTS ${prefix}/include/${CMAKE_MATCH_1})
        message(FATAL_ERROR "${header} includes \"${CMAKE_MATCH_1}\", which is not installed")
      endif()
    elseif(line MATCHES "<([^>]+)>")
      if(NOT CMAKE_MATCH_1 MATCHES "^boost/" AND CMAKE_MATCH_1 MATCHES "[/.]")
        message(FATAL_ERROR "${header} includes <${CMAKE_MATCH_1}>: public headers may include only the "
                            "standard library, Boost and installed tarvik headers")
      endif()
    endif()
  endforeach()
endforeach()

set(launcher)
if(LAUNCHER)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
run_checked("configuring the outside project"
  ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/outside -B ${WORK_DIR}/outside -G ${GENERATOR}
  -DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} ${launcher}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=)
run_checked("building the outside project" ${CMAKE_COMMAND} --build ${WORK_DIR}/outside)

set(examples ${prefix}/share/tarvik/examples)
foreach(host outside_host outside_host_pc)
  run_checked("env -i ${host}" env -i ${WORK_DIR}/outside/${host} ${examples}/cartpole/orchestration.json 3
              x=0.1 x_dot=0 theta=0.02 theta_dot=0)
  expect_output(${host} "step 1: [01]\nstep 2: [01]\nstep 3: [01]\nsynchronous: [01]\n")
endforeach()

# Nothing installed may depend on where the prefix is: moved elsewhere, the
# installed tarvik-run still finds its libraries, the processor modules, the
# example plugin and ONNX Runtime.
set(moved ${WORK_DIR}/moved-prefix)
file(REMOVE_RECURSE ${moved})
file(RENAME ${prefix} ${moved})
run_checked("env -i tarvik-run" env -i ${moved}/bin/tarvik-run
            ${moved}/share/tarvik/examples/pendulum/orchestration.json --episodes 1 --quiet)
expect_output(tarvik-run "Summary of 1 episode\n.*acted +phase 200")

# Without an orchestration argument the installed tarvik-run takes the
# examples installed beside it, not the source tree it was built from.
run_checked("env -i tarvik-run (default example)" env -i ${moved}/bin/tarvik-run --episodes 1)
expect_output(tarvik-run "moved-prefix/share/tarvik/examples/cartpole/orchestration.json.*Summary of 1 episode")
