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

# The release package: reinstall-VERSION-windows-ARCH.zip with the executable, the C interface
# (DLL and header), README, LICENSE, the SPDX bill of materials and SHA256SUMS, byte-identical for
# every build of the same commit.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(REINSTALL_ARCH x64)
else()
  set(REINSTALL_ARCH x86)
endif()
set(REINSTALL_PACKAGE_NAME reinstall-${PROJECT_VERSION}-windows-${REINSTALL_ARCH})
set(REINSTALL_PACKAGE ${CMAKE_BINARY_DIR}/${REINSTALL_PACKAGE_NAME}.zip)
set(REINSTALL_SBOM ${CMAKE_BINARY_DIR}/${REINSTALL_PACKAGE_NAME}.spdx.json)
set(REINSTALL_PACKAGE_FILES $<TARGET_FILE:reinstall> $<TARGET_FILE:reinstall_handover>
    ${PROJECT_SOURCE_DIR}/include/reinstall/handover_c.h ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/LICENSE)
add_custom_target(package
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_sbom.py ${REINSTALL_SBOM}
          ${PROJECT_VERSION} ${REINSTALL_ARCH} ${CMAKE_CXX_COMPILER} ${REINSTALL_PACKAGE_FILES}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_package.py ${REINSTALL_PACKAGE}
          ${REINSTALL_PACKAGE_FILES} ${REINSTALL_SBOM}
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
  DEPENDS reinstall reinstall_handover
  COMMENT "Packaging ${REINSTALL_PACKAGE} with its bill of materials"
  VERBATIM)
