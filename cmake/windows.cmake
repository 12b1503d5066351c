# The Windows executable: GUI subsystem entered at WinMain, statically linked (only system DLLs
# imported), ASLR and DEP on (high-entropy ASLR on x64), with icon, version block and manifest.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(REINSTALL_ICON ${CMAKE_BINARY_DIR}/res/reinstall.ico)
add_custom_command(OUTPUT ${REINSTALL_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_icon.py ${REINSTALL_ICON}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_icon.py
  COMMENT "Drawing the application icon")

# windres finds the icon next to the build's copy of the script and the manifest in res/.
configure_file(${PROJECT_SOURCE_DIR}/res/reinstall.rc ${CMAKE_BINARY_DIR}/res/reinstall.rc COPYONLY)
configure_file(${PROJECT_SOURCE_DIR}/res/reinstall.manifest
  ${CMAKE_BINARY_DIR}/res/reinstall.manifest COPYONLY)
target_sources(reinstall PRIVATE ${CMAKE_BINARY_DIR}/res/reinstall.rc ${REINSTALL_ICON})
set_source_files_properties(${CMAKE_BINARY_DIR}/res/reinstall.rc PROPERTIES
  OBJECT_DEPENDS "${REINSTALL_ICON};${CMAKE_BINARY_DIR}/res/reinstall.manifest")

set(REINSTALL_WINDOWS_LINK_OPTIONS
  -mwindows -static -static-libgcc -static-libstdc++
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -s)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND REINSTALL_WINDOWS_LINK_OPTIONS -Wl,--high-entropy-va)
endif()
# Reproducible: no link time stamp in the PE header, and no build folder in the output.
list(APPEND REINSTALL_WINDOWS_LINK_OPTIONS -Wl,--no-insert-timestamp)
foreach(target reinstall reinstall_core)
  target_compile_options(${target} PRIVATE -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                                           -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endforeach()
target_link_options(reinstall PRIVATE ${REINSTALL_WINDOWS_LINK_OPTIONS})
target_compile_options(reinstall_core PRIVATE -ffunction-sections -fdata-sections)

# The C interface's DLL: the same static runtime, hardening and reproducibility, no subsystem of
# its own.
if(TARGET reinstall_handover)
  set(REINSTALL_DLL_LINK_OPTIONS ${REINSTALL_WINDOWS_LINK_OPTIONS})
  list(REMOVE_ITEM REINSTALL_DLL_LINK_OPTIONS -mwindows)
  target_link_options(reinstall_handover PRIVATE ${REINSTALL_DLL_LINK_OPTIONS})
  # The launcher's terminate handler keeps the demangler out of the DLL too; no exception leaves
  # the C functions.
  target_sources(reinstall_handover PRIVATE ${PROJECT_SOURCE_DIR}/src/app/terminate_win32.cpp)
  target_compile_options(reinstall_handover PRIVATE -ffunction-sections -fdata-sections
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endif()

# The release package: reinstall-VERSION-windows-ARCH.zip, byte-identical for every build of the
# same commit. At its root the executable and the C interface's DLL, README, LICENSE, the SPDX
# bill of materials and SHA256SUMS; under include/ the helper's headers; under lib/ the MinGW
# import library, the DLL's .def (for MSVC's lib /def:) and the CMake package configuration, so
# that find_package(reinstall CONFIG) takes the unpacked ZIP as it is.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(REINSTALL_ARCH x64)
else()
  set(REINSTALL_ARCH x86)
endif()
set(REINSTALL_PACKAGE_NAME reinstall-${PROJECT_VERSION}-windows-${REINSTALL_ARCH})
set(REINSTALL_PACKAGE ${CMAKE_BINARY_DIR}/${REINSTALL_PACKAGE_NAME}.zip)
set(REINSTALL_SBOM ${CMAKE_BINARY_DIR}/${REINSTALL_PACKAGE_NAME}.spdx.json)
set(REINSTALL_DEF ${CMAKE_BINARY_DIR}/reinstall_handover.def)
target_link_options(reinstall_handover PRIVATE -Wl,--output-def,${REINSTALL_DEF})

# The package configuration for the ZIP's layout: everything relative to its root.
include(CMakePackageConfigHelpers)
set(zip_config ${CMAKE_BINARY_DIR}/zip)
function(reinstall_zip_config)
  set(CMAKE_INSTALL_INCLUDEDIR include)
  set(CMAKE_INSTALL_BINDIR .)
  set(CMAKE_INSTALL_LIBDIR lib)
  set(REINSTALL_INSTALLED_LIBRARY "\${PACKAGE_PREFIX_DIR}/reinstall_handover.dll")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/reinstallConfig.cmake.in
    ${zip_config}/reinstallConfig.cmake
    INSTALL_DESTINATION lib/cmake/reinstall
    INSTALL_PREFIX ${zip_config}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR)
endfunction()
reinstall_zip_config()
write_basic_package_version_file(${zip_config}/reinstallConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)

set(include ${PROJECT_SOURCE_DIR}/include/reinstall)
set(REINSTALL_PACKAGE_FILES $<TARGET_FILE:reinstall> $<TARGET_FILE:reinstall_handover>
    ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
    include/reinstall/handover.h=${include}/handover.h
    include/reinstall/command_line.h=${include}/command_line.h
    include/reinstall/handover_c.h=${include}/handover_c.h
    include/reinstall/outcome.h=${include}/outcome.h
    include/reinstall/detail/handover_win32.h=${include}/detail/handover_win32.h
    include/reinstall/detail/handover_posix.h=${include}/detail/handover_posix.h
    include/reinstall/detail/spawn_posix.h=${include}/detail/spawn_posix.h
    include/reinstall/detail/zone_identifier.h=${include}/detail/zone_identifier.h
    include/reinstall/detail/cng_win32.h=${include}/detail/cng_win32.h
    include/reinstall/detail/libcrypto_posix.h=${include}/detail/libcrypto_posix.h
    lib/reinstall_handover.dll.a=$<TARGET_LINKER_FILE:reinstall_handover>
    lib/reinstall_handover.def=${REINSTALL_DEF}
    lib/cmake/reinstall/reinstallConfig.cmake=${zip_config}/reinstallConfig.cmake
    lib/cmake/reinstall/reinstallConfigVersion.cmake=${zip_config}/reinstallConfigVersion.cmake)
add_custom_target(package
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_sbom.py ${REINSTALL_SBOM}
          ${PROJECT_VERSION} ${REINSTALL_ARCH} ${CMAKE_CXX_COMPILER} ${REINSTALL_PACKAGE_FILES}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_package.py ${REINSTALL_PACKAGE}
          ${REINSTALL_PACKAGE_FILES} ${REINSTALL_SBOM}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS reinstall reinstall_handover
  COMMENT "Packaging ${REINSTALL_PACKAGE} with its bill of materials"
  VERBATIM)
