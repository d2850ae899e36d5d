# Third-party dependencies. scripts/bootstrap installs all of them.

find_package(Threads REQUIRED)
# The installed package asks for the same Boost (tarvikConfig.cmake.in).
set(TARVIK_BOOST_MINIMUM 1.81)
find_package(Boost ${TARVIK_BOOST_MINIMUM} REQUIRED)
find_package(Protobuf REQUIRED)
find_package(ONNX REQUIRED)          # targets onnx, onnx_proto (ONNX_ML=1)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)

# ONNX Runtime: ONNXRUNTIME_ROOT, then the bootstrap's third_party folder,
# then the system package.
set(_ort_hints ${ONNXRUNTIME_ROOT} ${PROJECT_SOURCE_DIR}/third_party/onnxruntime)
find_path(ONNXRUNTIME_INCLUDE_DIR onnxruntime_cxx_api.h
  HINTS ${_ort_hints} PATH_SUFFIXES include include/onnxruntime)
find_library(ONNXRUNTIME_LIBRARY NAMES onnxruntime libonnxruntime.so.1
  HINTS ${_ort_hints} PATH_SUFFIXES lib lib64)
if(NOT ONNXRUNTIME_INCLUDE_DIR OR NOT ONNXRUNTIME_LIBRARY)
  message(FATAL_ERROR "ONNX Runtime not found: run scripts/bootstrap, or set ONNXRUNTIME_ROOT "
                      "to a folder with include/onnxruntime_cxx_api.h and lib/libonnxruntime.so")
endif()
add_library(onnxruntime::onnxruntime SHARED IMPORTED GLOBAL)
set_target_properties(onnxruntime::onnxruntime PROPERTIES
  IMPORTED_LOCATION ${ONNXRUNTIME_LIBRARY}
  IMPORTED_NO_SONAME OFF
  INTERFACE_INCLUDE_DIRECTORIES ${ONNXRUNTIME_INCLUDE_DIR})
get_filename_component(ONNXRUNTIME_LIBRARY_DIR ${ONNXRUNTIME_LIBRARY} DIRECTORY)
# Binaries in the build tree run without environment variables.
list(APPEND CMAKE_BUILD_RPATH ${PROJECT_BINARY_DIR}/lib ${ONNXRUNTIME_LIBRARY_DIR})
message(STATUS "ONNX Runtime: ${ONNXRUNTIME_LIBRARY} (headers ${ONNXRUNTIME_INCLUDE_DIR})")
