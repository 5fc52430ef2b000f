# libFuzzer targets (clang), with AddressSanitizer and UndefinedBehaviorSanitizer,
# over the launcher's logic and the scripted Windows fake.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -g -O1)

add_library(fuzz_core STATIC ${LAUNCHER_SOURCES} tests/fake/fake_windows.cpp)
target_include_directories(fuzz_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(fuzz_core PUBLIC -fsanitize=fuzzer-no-link,address,undefined
                       -fno-sanitize-recover=all -g -O1)

foreach(target fuzz_command_tail fuzz_launcher_dir fuzz_launch)
  add_executable(${target} tests/fuzz/${target}.cpp)
  target_compile_options(${target} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${target} PRIVATE ${FUZZ_FLAGS})
  target_link_libraries(${target} PRIVATE fuzz_core)
endforeach()
