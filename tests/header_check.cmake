# Every public header compiles on its own, with g++ and with clang++, given
# only what its library publishes to users (its interface include folders and
# definitions). A header that leans on an include it does not make, or on one
# compiler's leniency, fails here as tests named headers/<compiler>/<header>.
#
# Included from tests/CMakeLists.txt once the libraries exist. Headers are the
# same in every build tree, so the sanitizer tree leaves the check out.

# The libraries (and their source folders) that ship public headers: every
# library target of core_boundary, tarvik_inference/* and apps/* whose folder
# has an include/ folder; the first target of a folder speaks for it.
function(tarvik_header_libraries out)
  set(pending ${PROJECT_SOURCE_DIR})
  set(found)
  set(seen_dirs)
  while(pending)
    list(POP_FRONT pending dir)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    list(APPEND pending ${subdirs})
    if(NOT dir MATCHES "^${PROJECT_SOURCE_DIR}/(core_boundary|tarvik_inference/[^/]+|apps/[^/]+)$"
       OR NOT IS_DIRECTORY ${dir}/include OR dir IN_LIST seen_dirs)
      continue()
    endif()
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      if(type MATCHES "^(SHARED|STATIC|MODULE)_LIBRARY$")
        list(APPEND found ${target})
        list(APPEND seen_dirs ${dir})
        break()
      endif()
    endforeach()
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(tarvik_add_header_checks)
  find_program(TARVIK_GXX NAMES g++)
  find_program(TARVIK_CLANGXX NAMES clang++ clang++-14)
  # The compilers' own folders must not come back as -I (that breaks the
  # standard library's #include_next).
  string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" implicit "${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}")
  list(JOIN implicit "|" implicit)
  tarvik_header_libraries(libraries)
  foreach(tag g++ clang++)
    set(compiler ${TARVIK_GXX})
    if(tag STREQUAL "clang++")
      set(compiler ${TARVIK_CLANGXX})
    endif()
    if(NOT compiler)
      add_test(NAME headers/${tag} COMMAND ${CMAKE_COMMAND} -E echo "${tag} not found: header check skipped")
      set_tests_properties(headers/${tag} PROPERTIES SKIP_REGULAR_EXPRESSION "header check skipped" LABELS headers)
      continue()
    endif()
    foreach(library ${libraries})
      get_target_property(dir ${library} SOURCE_DIR)
      set(includes "$<FILTER:$<TARGET_PROPERTY:${library},INTERFACE_INCLUDE_DIRECTORIES>,EXCLUDE,^(${implicit})/?$>")
      set(definitions "$<TARGET_PROPERTY:${library},INTERFACE_COMPILE_DEFINITIONS>")
      file(GLOB_RECURSE headers RELATIVE ${dir}/include CONFIGURE_DEPENDS ${dir}/include/*.hpp ${dir}/include/*.h)
      foreach(header ${headers})
        add_test(NAME headers/${tag}/${header}
          COMMAND ${compiler} -std=c++20 -fsyntax-only
                  "-I$<JOIN:${includes},;-I>"
                  "$<$<BOOL:${definitions}>:-D$<JOIN:${definitions},;-D>>"
                  -include ${dir}/include/${header} -x c++ /dev/null
          COMMAND_EXPAND_LISTS)
        set_tests_properties(headers/${tag}/${header} PROPERTIES LABELS headers)
      endforeach()
    endforeach()
  endforeach()
endfunction()

if(NOT TARVIK_SANITIZE)
  tarvik_add_header_checks()
endif()
