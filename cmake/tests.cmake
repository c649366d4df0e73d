# The C++ tests, their fixtures and the benchmarks, built when TAMBEROK_TESTS
# is on (the default; setup.py turns it off, so the wheel needs neither
# GoogleTest nor Google Benchmark).
enable_testing()
find_package(GTest REQUIRED)
file(GLOB TAMBEROK_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(tamberok_test_support STATIC ${TAMBEROK_TEST_SUPPORT}
            ${CMAKE_SOURCE_DIR}/tests/support/support.h)
target_include_directories(tamberok_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(tamberok_test_support PUBLIC tamberok_writer GTest::gtest)
target_compile_definitions(tamberok_test_support PUBLIC
    TAMBEROK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TAMBEROK_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")

# Core tests: small artifacts built in the tests; the embedded artifact is
# the EMPTY placeholder, so the refusal is tested for real.
file(GLOB TAMBEROK_CORE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/core/*.cpp)
set(TAMBEROK_COVER_TEST ${CMAKE_SOURCE_DIR}/tests/core/cover_test.cpp)
list(REMOVE_ITEM TAMBEROK_CORE_TESTS ${TAMBEROK_COVER_TEST})
add_executable(core_tests ${TAMBEROK_CORE_TESTS})
target_link_libraries(core_tests PRIVATE tamberok_test_support tamberok_embed_empty
                      GTest::gtest_main)
add_test(NAME core_tests COMMAND core_tests)

# The cover corpus tests decode with the tracing core, as the import tool
# does, so they get their own binary with their own copy of the support code.
set(TAMBEROK_COVER_SOURCE ${CMAKE_SOURCE_DIR}/src/import/cover.cpp)
add_executable(cover_tests ${TAMBEROK_COVER_TEST} ${TAMBEROK_TEST_SUPPORT}
               ${TAMBEROK_COVER_SOURCE})
target_include_directories(cover_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/support
                                               ${CMAKE_SOURCE_DIR}/src/import)
target_compile_definitions(cover_tests PRIVATE
    TAMBEROK_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TAMBEROK_FIXTURE_DIR="${CMAKE_BINARY_DIR}/fixtures")
target_link_libraries(cover_tests PRIVATE tamberok_writer_traced tamberok_embed_empty
                      GTest::gtest GTest::gtest_main)
add_test(NAME cover_tests COMMAND cover_tests)

# Real-data tests: the embedded artifact is data/vpic.rkyv when present; they
# skip without it unless TAMBEROK_REQUIRE_DATA=1 (as in CI).
file(GLOB TAMBEROK_REAL_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/real/*.cpp)
if(TAMBEROK_REAL_TESTS)
  add_executable(real_tests ${TAMBEROK_REAL_TESTS} ${TAMBEROK_COVER_SOURCE})
  target_include_directories(real_tests PRIVATE ${CMAKE_SOURCE_DIR}/src/import)
  target_link_libraries(real_tests PRIVATE tamberok_test_support tamberok_embed_real
                        GTest::gtest_main)
  add_test(NAME real_tests COMMAND real_tests)
endif()

# ---- Test fixtures -------------------------------------------------------------
# Every tests/fixtures/NAME.sql (a small vPIC-shaped database as SQL text)
# becomes ${CMAKE_BINARY_DIR}/fixtures/NAME.rkyv through the import tool before
# the test binaries build; testing::load_fixture("NAME") reads it. Fixtures
# without an ErrorCode table take the error texts of data/supplement.
if(TARGET tamberok-import)
  file(GLOB TAMBEROK_FIXTURE_SQL CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fixtures/*.sql)
  set(TAMBEROK_FIXTURES "")
  foreach(sql ${TAMBEROK_FIXTURE_SQL})
    get_filename_component(name ${sql} NAME_WE)
    set(rkyv ${CMAKE_BINARY_DIR}/fixtures/${name}.rkyv)
    add_custom_command(OUTPUT ${rkyv}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fixtures
                       COMMAND tamberok-import --sql ${sql} --out ${rkyv}
                               --supplement ${TAMBEROK_DATA_DIR}/supplement --quiet
                       DEPENDS tamberok-import ${sql}
                       COMMENT "Importing fixture ${name}"
                       VERBATIM)
    list(APPEND TAMBEROK_FIXTURES ${rkyv})
  endforeach()
  add_custom_target(tamberok_fixtures DEPENDS ${TAMBEROK_FIXTURES})
  foreach(tests core_tests cover_tests real_tests)
    if(TARGET ${tests})
      add_dependencies(${tests} tamberok_fixtures)
      target_compile_definitions(${tests} PRIVATE
          TAMBEROK_IMPORT_TOOL="$<TARGET_FILE:tamberok-import>")
    endif()
  endforeach()
  # The import tool's tests make SQLite databases of their own (in WAL and
  # rollback-journal mode, some held open by another process while the tool runs).
  target_link_libraries(core_tests PRIVATE SQLite::SQLite3)
  # They stop the tool inside its read or its write with a signal: a
  # preloaded open() and fsync() hold it there and tell them. Built without
  # sanitizers, which want their runtime first in a process; the tests let
  # it come second.
  add_library(tamberok_pause_shim MODULE ${CMAKE_SOURCE_DIR}/tests/support/pause_shim.c)
  set_property(TARGET tamberok_pause_shim PROPERTY COMPILE_OPTIONS -Wall -Wextra)
  set_property(TARGET tamberok_pause_shim PROPERTY LINK_OPTIONS "")
  target_link_libraries(tamberok_pause_shim PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(core_tests tamberok_pause_shim)
  target_compile_definitions(core_tests PRIVATE
      TAMBEROK_PAUSE_SHIM="$<TARGET_FILE:tamberok_pause_shim>")
endif()

# ---- Benchmarks ----------------------------------------------------------------
find_package(benchmark QUIET)
file(GLOB TAMBEROK_BENCHES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/*.cpp)
if(benchmark_FOUND AND TAMBEROK_BENCHES)
  foreach(source ${TAMBEROK_BENCHES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE tamberok_writer tamberok_embed_real
                          benchmark::benchmark)
    target_compile_definitions(${name} PRIVATE TAMBEROK_BENCH_DIR="${CMAKE_SOURCE_DIR}/bench")
  endforeach()
endif()
