# The Windows executable: no C runtime, only system DLLs, no timestamps.
enable_language(RC)

add_executable(OrvaneCD WIN32
    ${LAUNCHER_SOURCES}
    launch/win_main.cpp
    platform/win32_memory.cpp
    platform/win32_message_box.cpp
    platform/win32_module.cpp
    platform/win32_process.cpp
    platform/win32_registry.cpp
    platform/win32_runtime.cpp
    platform/win32_startup.cpp
    platform/win32_system_library.cpp
    platform/win32_version.cpp
    resources/launcher.rc
)
target_include_directories(OrvaneCD PRIVATE ${CMAKE_SOURCE_DIR})

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ENTRY_SYMBOL _WinMainCRTStartup)
else()
  set(ENTRY_SYMBOL WinMainCRTStartup)
endif()

target_compile_options(OrvaneCD PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -flto -ffunction-sections
    -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
    -fno-ident -fno-threadsafe-statics>)
target_link_options(OrvaneCD PRIVATE
    -nostdlib -s -Os -flto
    -Wl,-e,${ENTRY_SYMBOL}
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware -Wl,--enable-reloc-section
    -Wl,--file-alignment,512)
target_link_libraries(OrvaneCD PRIVATE kernel32 user32 advapi32)
