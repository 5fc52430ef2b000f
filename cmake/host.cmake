# Host build: the launcher's logic against a scripted fake of Windows, with
# AddressSanitizer (leak checking included) and UndefinedBehaviorSanitizer.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

set(SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(launcher_core STATIC ${LAUNCHER_SOURCES})
target_include_directories(launcher_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(launcher_core PUBLIC ${SANITIZERS} -g)
target_link_options(launcher_core PUBLIC ${SANITIZERS})

add_library(fake_windows STATIC tests/fake/fake_windows.cpp)
target_link_libraries(fake_windows PUBLIC launcher_core)

add_executable(launcher_tests
    tests/command_tail_test.cpp
    tests/cd_installer_test.cpp
    tests/installer_run_test.cpp
    tests/installer_stage_test.cpp
    tests/join_text_test.cpp
    tests/launch_sequence_test.cpp
    tests/launcher_dir_test.cpp
    tests/player_registration_test.cpp
    tests/player_start_test.cpp
    tests/conformance_skip_rules_test.cpp
    conformance/skip_rules.cpp
)
# Exceptions stay off in our code; GoogleTest's headers cope without them.
target_link_libraries(launcher_tests PRIVATE launcher_core fake_windows GTest::gtest_main)
gtest_discover_tests(launcher_tests
    PROPERTIES LABELS host ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")

# The built Windows executables, checked as files, and the end-to-end runs
# under Wine through the conformance program, one test a scenario. Each tier
# (win32: the shipped PE32; win64: the PE32+) has its own prefix, display and
# wineserver, so the two run side by side; within a tier the scenarios run
# one after the other. win32ja (the PE32 under code page 932: the scenarios
# that depend on the code page) runs in win32's prefix, in turn with it, and
# so do win32fallback and win64fallback (each build on the system folder's
# route for the registry and version functions) in their build's. They need the build trees and
# build/conformance (scripts/build makes them).
set(E2E ${CMAKE_SOURCE_DIR}/tests/e2e/e2e.py)
foreach(tier win32 win64 win32ja win32fallback win64fallback)
  string(REGEX REPLACE "(ja|fallback)$" "" arch ${tier})
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/build/${arch}/OrvaneCD.exe)
    message(STATUS "No build/${arch}: its file check and Wine runs are skipped (run scripts/build)")
    continue()
  endif()
  if(tier STREQUAL arch)
    add_test(NAME pe_check_${arch}
        COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/pe_check.py ${arch}
                ${CMAKE_SOURCE_DIR}/build/${arch}/OrvaneCD.exe)
    set_tests_properties(pe_check_${arch} PROPERTIES LABELS pe)
  endif()
  if(NOT EXISTS ${CMAKE_SOURCE_DIR}/build/conformance/conformance.exe)
    message(STATUS "No build/conformance: the Wine runs are skipped (run scripts/build)")
    continue()
  endif()

  if(tier STREQUAL arch)
    add_test(NAME e2e_setup_${tier} COMMAND python3 ${E2E} setup ${tier})
    add_test(NAME e2e_cleanup_${tier} COMMAND python3 ${E2E} teardown ${tier})
    set_tests_properties(e2e_setup_${tier} PROPERTIES FIXTURES_SETUP e2e_${tier} TIMEOUT 900)
    set_tests_properties(e2e_cleanup_${tier} PROPERTIES FIXTURES_CLEANUP e2e_${tier})
    set_tests_properties(e2e_setup_${tier} e2e_cleanup_${tier} PROPERTIES
        LABELS e2e RESOURCE_LOCK wine_${tier})
  endif()
  if(tier STREQUAL arch)
    # The conformance program touches only what it made: a real registration
    # refused and left whole, its own leftovers removed by the next run, a
    # person's files on the disc never entered.
    add_test(NAME e2e_${tier}_touches_only_its_own
        COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/e2e/registration_test.py ${tier})
    set_tests_properties(e2e_${tier}_touches_only_its_own PROPERTIES LABELS e2e
        FIXTURES_REQUIRED e2e_${tier} RESOURCE_LOCK wine_${tier} TIMEOUT 900)
  endif()
  execute_process(COMMAND python3 ${E2E} list ${tier}
      OUTPUT_VARIABLE scenarios OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "\n" ";" scenarios "${scenarios}")
  foreach(scenario IN LISTS scenarios)
    add_test(NAME e2e_${tier}_${scenario} COMMAND python3 ${E2E} run ${tier} ${scenario})
    set_tests_properties(e2e_${tier}_${scenario} PROPERTIES LABELS e2e SKIP_RETURN_CODE 77
        FIXTURES_REQUIRED e2e_${arch} RESOURCE_LOCK wine_${arch} TIMEOUT 300)
  endforeach()
endforeach()

# The whole table in one run, as a person runs the bundle, under the other
# Debian release's Wine (scripts/wine-root, made by scripts/setup test); beside
# the tiers, so it starts first.
if(EXISTS ${CMAKE_SOURCE_DIR}/build/conformance/conformance.exe)
  add_test(NAME e2e_second_wine COMMAND python3 ${E2E} second-wine)
  set_tests_properties(e2e_second_wine PROPERTIES LABELS e2e TIMEOUT 900 COST 10000)
endif()

add_test(NAME reproducible_build COMMAND ${CMAKE_SOURCE_DIR}/tests/reproducible_build.sh)
set_tests_properties(reproducible_build PROPERTIES LABELS pe)

# Static analysis of the launcher's own code, and proof that it still finds
# the kind of fault it is there for.
add_test(NAME static_analysis COMMAND ${CMAKE_SOURCE_DIR}/tests/static_analysis.sh)
add_test(NAME static_analysis_catches_seeded_fault
    COMMAND ${CMAKE_SOURCE_DIR}/tests/static_analysis.sh --seeded)
set_tests_properties(static_analysis static_analysis_catches_seeded_fault PROPERTIES LABELS static)

# Fuzz targets (built by the fuzz preset): the seed corpus is replayed, then
# each target runs for a bounded time. New inputs stay in the build folder.
set(ORVANE_FUZZ_SECONDS 35 CACHE STRING "seconds each fuzz target runs in the test command")
foreach(target fuzz_command_tail fuzz_launcher_dir fuzz_launch)
  set(found ${CMAKE_SOURCE_DIR}/build/fuzz/corpus/${target})
  add_test(NAME ${target}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
              ${CMAKE_SOURCE_DIR}/build/fuzz/${target} -max_total_time=${ORVANE_FUZZ_SECONDS}
              -print_final_stats=1 ${found} ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${target}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/build/fuzz)
  set_tests_properties(${target} PROPERTIES LABELS fuzz TIMEOUT 600)
  file(MAKE_DIRECTORY ${found})
endforeach()

# The disc kit, with the stand-in installers of the win32 build tree.
if(EXISTS ${CMAKE_SOURCE_DIR}/build/win32/OrvaneCD.exe)
  add_test(NAME disc_kit COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/disc_kit_test.py
                                 ${CMAKE_SOURCE_DIR}/build/win32)
  set_tests_properties(disc_kit PROPERTIES LABELS kit)
endif()
# make-disc check's reader on mutated images of the demo disc.
if(EXISTS ${CMAKE_SOURCE_DIR}/build/demo-disc.iso)
  add_test(NAME fuzz_disc_check COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_disc_check.py
                                        ${CMAKE_SOURCE_DIR}/build/demo-disc.iso 20)
  set_tests_properties(fuzz_disc_check PROPERTIES LABELS fuzz TIMEOUT 120)
endif()

add_test(NAME programs_start COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/programs_start_test.py)
add_test(NAME docs_paths COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/docs_paths_test.py)
set_tests_properties(programs_start docs_paths PROPERTIES LABELS kit)

# scripts/setup against stand-ins for apt-get and dpkg-query: a mirror in
# mid-sync, and an install apt cannot resolve.
add_test(NAME setup_with_stand_in_apt COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/setup_test.py)
set_tests_properties(setup_with_stand_in_apt PROPERTIES LABELS kit)
