# The Python extension module _tamberok, built for the stable ABI (abi3,
# CPython 3.10 and later), twice:
#   build/pkg/tamberok/_tamberok.abi3.so        the real data (or the
#                                                placeholder when data/ has none)
#   build/pkg-empty/tamberok/_tamberok.abi3.so  always the EMPTY placeholder,
#                                                so tests can check the refusal
# Each package directory gets python/tamberok/__init__.py beside the module.
#
# A build folder configured for one interpreter and then given another
# (`make ... PYTHON=...`) would keep the first one's headers in FindPython's
# cache and fail to find the second's development files: what was found for
# another interpreter is forgotten first.
if(DEFINED TAMBEROK_PYTHON_FOUND_FOR AND
   NOT TAMBEROK_PYTHON_FOUND_FOR STREQUAL "${Python3_EXECUTABLE}")
  get_cmake_property(cached_variables CACHE_VARIABLES)
  foreach(variable IN LISTS cached_variables)
    if(variable MATCHES "^_?Python3_" AND NOT variable STREQUAL "Python3_EXECUTABLE")
      unset(${variable} CACHE)
    endif()
  endforeach()
endif()
find_package(Python3 3.10 REQUIRED COMPONENTS Interpreter Development.Module)
set(TAMBEROK_PYTHON_FOUND_FOR "${Python3_EXECUTABLE}" CACHE INTERNAL
    "The interpreter FindPython's cached results belong to")

add_library(tamberok_py_objects OBJECT ${TAMBEROK_PY_SOURCES})
target_compile_definitions(tamberok_py_objects PRIVATE Py_LIMITED_API=0x030A0000
                           TAMBEROK_VERSION="${PROJECT_VERSION}")
target_include_directories(tamberok_py_objects PRIVATE ${Python3_INCLUDE_DIRS})
target_link_libraries(tamberok_py_objects PRIVATE tamberok_core)
set_target_properties(tamberok_py_objects PROPERTIES CXX_VISIBILITY_PRESET hidden
                      VISIBILITY_INLINES_HIDDEN ON)

# The module is a guest in the interpreter's process, beside other C++
# extensions (numpy, pyarrow, apt_pkg) that share one libstdc++ with it. It
# therefore exports only its init function and replaces nothing process-wide:
# it allocates with the C++ runtime's operator new like every other library.
#
# mimalloc is deliberately not linked. The distribution's libmimalloc.so is an
# overriding build: it exports malloc, free and the operator new/delete
# family, and as a dependency of the module it takes over libstdc++'s own
# allocations while other libraries free with glibc (or the reverse) - a
# crash in mi_free. No static, non-overriding mimalloc is packaged, and the
# module's memory is ordinary C++ objects with no allocation it owns outside
# the runtime's heap, so there is nothing a private heap could serve safely.
# The cost: single decodes run as fast as with mimalloc, batches lose about a
# sixth of their throughput (a fifth for JSON batches) to glibc's malloc;
# arenas that the decoder owns explicitly are the place to win that back.
#
# The version script makes every other symbol local: the core, RE2's inline
# templates and libstdc++'s inline instantiations compiled into the module
# stay private, so no other library can bind to them.
set(TAMBEROK_PY_EXPORTS ${CMAKE_BINARY_DIR}/tamberok_py_exports.map)
# Written only when its text changes: a new mtime would relink the modules
# on every configure.
file(CONFIGURE OUTPUT ${TAMBEROK_PY_EXPORTS}
     CONTENT "{\n  global:\n    PyInit__tamberok;\n  local: *;\n};\n" @ONLY)

function(tamberok_python_module target embed package_dir)
  add_library(${target} MODULE $<TARGET_OBJECTS:tamberok_py_objects>)
  target_link_libraries(${target} PRIVATE tamberok_core ${embed} Python3::Module)
  target_link_options(${target} PRIVATE -Wl,--version-script=${TAMBEROK_PY_EXPORTS})
  set_target_properties(${target} PROPERTIES
                        PREFIX "" OUTPUT_NAME "_tamberok" SUFFIX ".abi3.so"
                        LIBRARY_OUTPUT_DIRECTORY ${package_dir}
                        LINK_DEPENDS ${TAMBEROK_PY_EXPORTS})
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -E copy_if_different
                             ${CMAKE_SOURCE_DIR}/python/tamberok/__init__.py
                             ${package_dir}/__init__.py
                             VERBATIM)
endfunction()

tamberok_python_module(tamberok_py tamberok_embed_real ${CMAKE_BINARY_DIR}/pkg/tamberok)
tamberok_python_module(tamberok_py_empty tamberok_embed_empty
                       ${CMAKE_BINARY_DIR}/pkg-empty/tamberok)
