# Fails unless the DLL exports exactly the expected undecorated names.
# cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
set(expected
    LoadBMPData kel_vout_create kel_vout_destroy kel_vout_get_default_param kel_vout_get_display_mode
    kel_vout_init kel_vout_put_buffer_pool kel_vout_put_buffer_pool_yuv kel_vout_set_display_mode
    kel_vout_snapshot kel_vout_set_log_callback kel_vout_put_frame kel_vout_get_stats kel_vout_set_queue_limit
    kel_vout_set_transform kel_vout_put_frame_ex kel_vout_set_clock kel_vout_wait_queue
    kel_vout_set_overlay kel_vout_set_tone_mapping)
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
# The name table: lines like "\t[   0] kel_vout_create" up to the first empty line.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([^\n]+\n)*)" _ "${dump}")
set(table "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]*" rows "${table}")
set(names)
foreach(row IN LISTS rows)
    string(REGEX REPLACE ".* ([^ ]+)$" "\\1" name "${row}")
    list(APPEND names "${name}")
endforeach()
list(SORT names)
list(SORT expected)
if(NOT names STREQUAL expected)
    message(FATAL_ERROR "exports of ${DLL}:\n  ${names}\nexpected:\n  ${expected}")
endif()
# The DLL carries its runtime: it imports no mingw runtime DLL.
string(REGEX MATCHALL "DLL Name: [^\n]*" imports "${dump}")
foreach(i IN LISTS imports)
    if(i MATCHES "libstdc|libgcc|libwinpthread")
        message(FATAL_ERROR "${DLL} depends on a runtime DLL: ${i}")
    endif()
endforeach()
message(STATUS "exports: ${names}")
