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
target_link_options(reinstall PRIVATE ${REINSTALL_WINDOWS_LINK_OPTIONS})
target_compile_options(reinstall_core PRIVATE -ffunction-sections -fdata-sections)
