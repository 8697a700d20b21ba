# What a release carries: the DLL's version resource, and the install layout that
# scripts/package.sh zips (bin/, lib/, include/, lib/cmake/kel_vout/, the documents).

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(KEL_VOUT_ARCH_NAME "32-bit")
else()
    set(KEL_VOUT_ARCH_NAME "64-bit")
endif()
configure_file(KEL_VOUT/kel_vout.rc.in ${CMAKE_BINARY_DIR}/generated/kel_vout.rc @ONLY)
target_sources(kel_vout PRIVATE ${CMAKE_BINARY_DIR}/generated/kel_vout.rc)

# Hosts built in this tree (tests, demo, bench) find the headers through the target.
target_include_directories(kel_vout INTERFACE ${PROJECT_SOURCE_DIR}/include ${CMAKE_BINARY_DIR}/generated)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS kel_vout RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS demo_host RUNTIME DESTINATION bin)
install(FILES include/kel_vout.h include/kel_vout_global.h ${CMAKE_BINARY_DIR}/generated/kel_vout_version.h
        DESTINATION include)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/generated/kel_vout-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES cmake/kel_vout-config.cmake ${CMAKE_BINARY_DIR}/generated/kel_vout-config-version.cmake
        DESTINATION lib/cmake/kel_vout)
