# The installable package: the exported targets, tarvikConfig.cmake with its
# version file, tarvik.pc, ONNX Runtime's library beside ours, and the docs.
# See TarvikHelpers.cmake for the layout and how a new part installs itself.
include(CMakePackageConfigHelpers)

set(TARVIK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvik)

install(EXPORT tarvikTargets NAMESPACE tarvik:: DESTINATION ${TARVIK_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tarvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/tarvikConfig.cmake
  INSTALL_DESTINATION ${TARVIK_INSTALL_CMAKEDIR})
# Before 1.0 a minor release may break the interface, so 0.1 accepts 0.1.x only.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/tarvikConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/tarvikConfig.cmake ${PROJECT_BINARY_DIR}/package/tarvikConfigVersion.cmake
  DESTINATION ${TARVIK_INSTALL_CMAKEDIR})

# pkg-config: the facade and what it links, for builds without CMake.
file(RELATIVE_PATH TARVIK_PC_PREFIX_FROM_PCFILEDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TARVIK_PC_PREFIX_FROM_PCFILEDIR "${TARVIK_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvik.pc.in ${PROJECT_BINARY_DIR}/package/tarvik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/tarvik.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ONNX Runtime's library goes into our lib/ (reached through $ORIGIN/../lib)
# unless it is the system's own, which the loader finds anyway. Every link in
# its chain (libonnxruntime.so -> libonnxruntime.so.1 -> ...) is kept, so the
# SONAME our libraries ask for exists in the prefix.
set(_ort_system_dirs ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES} /lib /usr/lib /lib64 /usr/lib64)
get_filename_component(_ort_real_dir ${ONNXRUNTIME_LIBRARY_DIR} REALPATH)
if(_ort_real_dir IN_LIST _ort_system_dirs)
  set(_ort_install_default OFF)
else()
  set(_ort_install_default ON)
endif()
option(TARVIK_INSTALL_ONNXRUNTIME "Install ONNX Runtime's library into the prefix's lib folder"
       ${_ort_install_default})
if(TARVIK_INSTALL_ONNXRUNTIME)
  install(CODE "
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}\"
         TYPE SHARED_LIBRARY FOLLOW_SYMLINK_CHAIN FILES \"${ONNXRUNTIME_LIBRARY}\")")
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
