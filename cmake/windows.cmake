# The DLL, its import library and the Windows tests (run under Wine).

# Our code and tests carry their C/C++ runtime: a host copies one file.
set(KEL_VOUT_STATIC_RUNTIME -static -static-libgcc -static-libstdc++)

add_library(kel_vout_core STATIC
    KEL_VOUT/bmp_loader.cpp
    KEL_VOUT/glInfo.cpp
    KEL_VOUT/handle_registry.cpp
    KEL_VOUT/kel_vout.cpp
    KEL_VOUT/kel_direct3d.cpp
    KEL_VOUT/kel_direct3d11.cpp
    KEL_VOUT/kel_opengl.cpp
    KEL_VOUT/kel_vout_base.cpp
    KEL_VOUT/kel_vout_d3d.cpp
    KEL_VOUT/kel_vout_d3d11.cpp
    KEL_VOUT/kel_vout_log.cpp
    KEL_VOUT/kel_vout_wgl.cpp
    KEL_VOUT/kel_vout_window.cpp
    KEL_VOUT/locker.cpp
    KEL_VOUT/msg_wait.cpp
    KEL_VOUT/picture_pool.cpp
    KEL_VOUT/present_pacing.cpp
    KEL_VOUT/render_loop.cpp
    KEL_VOUT/Timer.cpp
)
target_include_directories(kel_vout_core PUBLIC include KEL_VOUT)
target_compile_definitions(kel_vout_core PUBLIC KEL_VOUT_BUILDING WIN32_LEAN_AND_MEAN NOMINMAX)
target_compile_options(kel_vout_core PRIVATE ${KEL_VOUT_WARNINGS})
target_link_libraries(kel_vout_core PUBLIC kel_vout_pure opengl32 d3d9 user32 gdi32)

add_library(kel_vout SHARED KEL_VOUT/kel_vout.def KEL_VOUT/dll_main.cpp)
target_compile_options(kel_vout PRIVATE ${KEL_VOUT_WARNINGS})
target_include_directories(kel_vout PRIVATE include KEL_VOUT)
set_target_properties(kel_vout PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
target_link_libraries(kel_vout PRIVATE -Wl,--whole-archive kel_vout_core -Wl,--no-whole-archive)
target_link_options(kel_vout PRIVATE ${KEL_VOUT_STATIC_RUNTIME} -Wl,--no-undefined)

if(NOT BUILD_TESTING STREQUAL OFF)
    add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_subdirectory(tests/pure)
    add_subdirectory(tests/wine)
endif()

# The demo host links the DLL like any host would.
add_executable(demo_host demo/demo_host.cpp)
target_link_libraries(demo_host PRIVATE kel_vout gdi32)
target_include_directories(demo_host PRIVATE include)
target_compile_options(demo_host PRIVATE ${KEL_VOUT_WARNINGS})
target_link_options(demo_host PRIVATE ${KEL_VOUT_STATIC_RUNTIME})

# Figures, not tests: scripts/bench.sh runs both. bare_loop draws as the library does, without it.
add_executable(vout_bench bench/vout_bench.cpp)
target_link_libraries(vout_bench PRIVATE kel_vout psapi)
target_include_directories(vout_bench PRIVATE include)
target_compile_options(vout_bench PRIVATE ${KEL_VOUT_WARNINGS})
target_link_options(vout_bench PRIVATE ${KEL_VOUT_STATIC_RUNTIME})
# Timed frames: timing error, late frames, order, cost and a paused instance's processor time.
add_executable(timing_bench bench/timing_bench.cpp)
target_link_libraries(timing_bench PRIVATE kel_vout)
target_include_directories(timing_bench PRIVATE include)
target_compile_options(timing_bench PRIVATE ${KEL_VOUT_WARNINGS})
target_link_options(timing_bench PRIVATE ${KEL_VOUT_STATIC_RUNTIME})
add_executable(bare_loop bench/bare_loop.cpp)
target_link_libraries(bare_loop PRIVATE opengl32 gdi32 d3d9 d3d11 user32)
target_compile_options(bare_loop PRIVATE ${KEL_VOUT_WARNINGS})
target_link_options(bare_loop PRIVATE ${KEL_VOUT_STATIC_RUNTIME})
# Evidence, not a test: whether a host changing its window while a child presents hangs without
# the library (README, "Under Wine").
add_executable(resize_while_presenting bench/resize_while_presenting.cpp)
target_link_libraries(resize_while_presenting PRIVATE opengl32 gdi32 d3d9 d3d11 user32)
target_compile_options(resize_while_presenting PRIVATE ${KEL_VOUT_WARNINGS})
target_link_options(resize_while_presenting PRIVATE ${KEL_VOUT_STATIC_RUNTIME})
