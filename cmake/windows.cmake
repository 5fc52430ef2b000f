# The Windows executable: no C runtime, only system DLLs, no timestamps.
enable_language(RC)

# Built against the oldest Windows supported, XP: no header constant, macro or
# structure size may assume a newer one. A newer constant is named where it
# is used, with the Windows it needs.
add_compile_definitions(_WIN32_WINNT=0x0501 WINVER=0x0501)

set(PLATFORM_SOURCES
    platform/win32_common_controls.cpp
    platform/win32_memory.cpp
    platform/win32_module.cpp
    platform/win32_process.cpp
    platform/win32_registry.cpp
    platform/win32_runtime.cpp
    platform/win32_text.cpp
    platform/win32_startup.cpp
    platform/win32_system_library.cpp
    platform/win32_user32.cpp
    platform/win32_version.cpp
)
set_source_files_properties(platform/win32_runtime.cpp PROPERTIES
    COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ENTRY_SYMBOL _WinMainCRTStartup)
else()
  set(ENTRY_SYMBOL WinMainCRTStartup)
endif()

# One launcher executable from the launcher's sources, the given platform
# sources and libraries, with the shipped file's options.
function(add_launcher name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "PLATFORM;LIBRARIES;OPTIONS")
  add_executable(${name} WIN32 ${ARG_OPTIONS}
      ${LAUNCHER_SOURCES} launch/win_main.cpp ${ARG_PLATFORM} resources/launcher.rc)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  # -malign-data=abi: GCC would otherwise align every text of 32 bytes or more
  # to 32, padding the read-only data.
  target_compile_options(${name} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-Os -flto -ffunction-sections
      -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
      -fno-ident -fno-threadsafe-statics -malign-data=abi>)
  target_link_options(${name} PRIVATE
      -nostdlib -s -Os -flto -malign-data=abi
      -Wl,-e,${ENTRY_SYMBOL}
      -Wl,--gc-sections
      -Wl,--no-insert-timestamp
      -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,--enable-reloc-section
      -Wl,--file-alignment,512)
  # The layout puts the import tables into the read-only data.
  target_link_options(${name} PRIVATE -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/launcher.ld)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/launcher.ld)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # No structured exception handler anywhere: say so, so none is dispatched.
    target_link_options(${name} PRIVATE -Wl,--no-seh)
  endif()
  # The linker makes the resources writable; nothing writes them.
  add_custom_command(TARGET ${name} POST_BUILD
      COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/readonly_section.py $<TARGET_FILE:${name}> .rsrc
      VERBATIM)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
endfunction()

# windres reads these; CMake does not see that.
set(RESOURCE_FILES resources/launcher.manifest resources/launcher.ico
    tests/e2e/unheld_controls.manifest bench/earlier.manifest)
list(TRANSFORM RESOURCE_FILES PREPEND ${CMAKE_SOURCE_DIR}/)
set_source_files_properties(resources/launcher.rc PROPERTIES OBJECT_DEPENDS "${RESOURCE_FILES}")

add_launcher(OrvaneCD PLATFORM ${PLATFORM_SOURCES} LIBRARIES kernel32)

# Benchmark variants, never shipped (target bench_variants): the launcher with
# its earlier manifest and the one on the system folder's route (below).
add_custom_target(bench_variants)

# Stand-in programs for the end-to-end runs under Wine; built only on request
# (target e2e_fixtures), never shipped.
set(E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
add_custom_target(e2e_fixtures)

function(add_e2e_program name)
  add_executable(${name} EXCLUDE_FROM_ALL ${ARGN})
  target_link_options(${name} PRIVATE -static -s)
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${name})
  add_dependencies(e2e_fixtures ${name})
endfunction()

add_e2e_program(e2e_player WIN32 ${E2E_DIR}/fixture_player.cpp)
add_e2e_program(e2e_runner ${E2E_DIR}/runner.cpp)

# name, file version (empty: none under id 1 in English), extra definitions:
# id2, its version under id 2 alone; languages, id 1 in English and Japanese
# with other versions; named, 0.0 under id 1 and 1.3 under a name; short_root,
# a root block without its fixed part.
foreach(variant "1_3;1,3,0,0;" "2_5;2,5,1,7;" "0_0;0,0,3,1;" "1_9;1,9,0,0;"
                "none;;" "admin;1,3,0,0;REQUIRE_ADMINISTRATOR"
                "id2;1,3,0,0;VERSION_ID=2" "languages;1,3,0,0;JAPANESE_VERSION=2,5,0,0"
                "named;0,0,0,0;NAMED_VERSION=1,3,0,0" "short_root;;SHORT_ROOT")
  list(GET variant 0 suffix)
  list(GET variant 1 version)
  list(GET variant 2 extra)
  add_e2e_program(e2e_installer_${suffix} WIN32 ${E2E_DIR}/fixture_installer.cpp)
  if(version OR extra)
    target_sources(e2e_installer_${suffix} PRIVATE ${E2E_DIR}/fixture_installer.rc)
  endif()
  if(version)
    target_compile_definitions(e2e_installer_${suffix} PRIVATE FILE_VERSION=${version})
  endif()
  if(extra)
    target_compile_definitions(e2e_installer_${suffix} PRIVATE ${extra})
  endif()
endforeach()

add_e2e_program(e2e_control WIN32 ${E2E_DIR}/fixture_control.cpp)
target_link_libraries(e2e_control PRIVATE version)

# The launcher with another manifest (resources/launcher.rc picks it):
# without_manifest, the control for a manifest file planted beside it;
# unheld_controls, asking for a Common Controls version that no side-by-side
# store holds, the control for private copies planted beside it;
# earlier_manifest (asInvoker and Windows 10 only, no Common Controls, no DPI),
# what the larger manifest costs on the common path; system_folder_routes,
# the registry and version functions always from ADVAPI32 and VERSION of the
# system folder, as on the Windows whose KERNEL32 and KERNELBASE lack them.
foreach(variant "without_manifest;WITHOUT_MANIFEST" "unheld_controls;UNHELD_COMMON_CONTROLS"
                "earlier_manifest;EARLIER_MANIFEST" "system_folder_routes;SYSTEM_FOLDER_ROUTES")
  list(GET variant 0 suffix)
  list(GET variant 1 definition)
  add_launcher(e2e_launcher_${suffix} OPTIONS EXCLUDE_FROM_ALL
      PLATFORM ${PLATFORM_SOURCES} LIBRARIES kernel32)
  target_compile_definitions(e2e_launcher_${suffix} PRIVATE ${definition})
  add_dependencies(e2e_fixtures e2e_launcher_${suffix})
endforeach()
add_dependencies(bench_variants e2e_launcher_earlier_manifest e2e_launcher_system_folder_routes)

add_library(e2e_planted SHARED EXCLUDE_FROM_ALL ${E2E_DIR}/fixture_planted_dll.cpp)
set_target_properties(e2e_planted PROPERTIES PREFIX "" OUTPUT_NAME e2e_planted)
target_link_options(e2e_planted PRIVATE -static -s -Wl,--kill-at)
add_dependencies(e2e_fixtures e2e_planted)

# The conformance program (PE32, so that it runs on 32- and 64-bit Windows):
# the end-to-end scenarios on whatever Win32 it finds.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_executable(conformance EXCLUDE_FROM_ALL
      conformance/bench.cpp conformance/disc.cpp conformance/looks.cpp
      conformance/main.cpp conformance/record.cpp conformance/registry.cpp
      conformance/run.cpp conformance/scenarios.cpp
      conformance/skip_rules.cpp conformance/conformance.rc)
  set_source_files_properties(conformance/conformance.rc PROPERTIES
      OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/conformance/conformance.manifest)
  target_link_options(conformance PRIVATE -static -s -municode)
  target_link_libraries(conformance PRIVATE advapi32 user32)
  add_dependencies(e2e_fixtures conformance)
endif()
