# kel_vout's CMake package: find_package(kel_vout CONFIG REQUIRED), then link kel_vout::kel_vout.
# The package is laid out as bin/kel_vout.dll, lib/ (import libraries), include/. MSVC links
# lib/kel_vout.lib; MinGW (and clang in GNU mode) lib/libkel_vout.dll.a. Copy bin/kel_vout.dll
# next to your program (its C/C++ runtime is inside).
get_filename_component(_kel_vout_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET kel_vout::kel_vout)
    add_library(kel_vout::kel_vout SHARED IMPORTED)
    if(MSVC)
        set(_kel_vout_implib "${_kel_vout_prefix}/lib/kel_vout.lib")
    else()
        set(_kel_vout_implib "${_kel_vout_prefix}/lib/libkel_vout.dll.a")
    endif()
    set_target_properties(kel_vout::kel_vout PROPERTIES
        IMPORTED_LOCATION "${_kel_vout_prefix}/bin/kel_vout.dll"
        IMPORTED_IMPLIB "${_kel_vout_implib}"
        INTERFACE_INCLUDE_DIRECTORIES "${_kel_vout_prefix}/include")
    unset(_kel_vout_implib)
endif()
set(kel_vout_DLL "${_kel_vout_prefix}/bin/kel_vout.dll")
unset(_kel_vout_prefix)
