# Windows-only checks of the DLL itself, included from tests/CMakeLists.txt.

# A host that loads the DLL at run time, knowing only its file name.
add_executable(dll_loadlibrary ${CMAKE_CURRENT_LIST_DIR}/dll_loadlibrary.cpp)
target_link_libraries(dll_loadlibrary PRIVATE ${QV_GTEST})
target_include_directories(dll_loadlibrary PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(dll_loadlibrary PRIVATE ${QV_WARNINGS})
# Windows finds a DLL first in the program's own folder.
add_custom_command(TARGET dll_loadlibrary POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:quorvel-disk> $<TARGET_FILE_DIR:dll_loadlibrary>)
add_dependencies(dll_loadlibrary quorvel-disk)

# A host linked with the import library, through the header's dllimport.
add_executable(dll_import ${CMAKE_CURRENT_LIST_DIR}/dll_import.cpp)
target_link_libraries(dll_import PRIVATE quorvel-disk ${QV_GTEST})
target_compile_options(dll_import PRIVATE ${QV_WARNINGS})

foreach(t dll_loadlibrary dll_import)
  if(CMAKE_CROSSCOMPILING)
    gtest_discover_tests(${t} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
  else()
    gtest_discover_tests(${t} DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
  endif()
endforeach()

# Imports and exports of the DLL, read on the build machine.
if(CMAKE_OBJDUMP AND CMAKE_HOST_UNIX)
  add_test(NAME windows_dll_imports_exports
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_dll.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:quorvel-disk>
            ${PROJECT_SOURCE_DIR}/include/quorvel_disk.h)
endif()

# qvdisk.exe under Wine, on a folder of this source tree (Linux's / is Z:).
if(TARGET qvdisk AND CMAKE_CROSSCOMPILING)
  string(REPLACE "/" "\\" qv_fixture "Z:${PROJECT_SOURCE_DIR}/tests/cli/golden")
  file(GLOB qv_fixture_txt CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cli/golden/*.txt)
  list(LENGTH qv_fixture_txt qv_txt_count)
  add_test(NAME qvdisk_exe_report COMMAND qvdisk ${qv_fixture} --apparent-size --top 3)
  set_tests_properties(qvdisk_exe_report PROPERTIES
    PASS_REGULAR_EXPRESSION "apparent size.*Largest files.*golden/[a-z_]+\\.txt.*Extensions.*\\.txt +[0-9.]+ KiB +${qv_txt_count} files")
  add_test(NAME qvdisk_exe_json_ext COMMAND qvdisk ${qv_fixture} --json ext)
  set_tests_properties(qvdisk_exe_json_ext PROPERTIES
    PASS_REGULAR_EXPRESSION "^\\[{\"ext\":\"\\.txt\",\"total_size\":[0-9]+,\"count\":${qv_txt_count}}\\]")
  add_test(NAME qvdisk_exe_missing_path COMMAND qvdisk "${qv_fixture}\\missing")
  set_tests_properties(qvdisk_exe_missing_path PROPERTIES WILL_FAIL TRUE)
  # Names outside the ANSI code page, for every file qvdisk reads or writes.
  add_test(NAME qvdisk_exe_names
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_qvdisk_names.sh ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:qvdisk>
            ${CMAKE_CURRENT_BINARY_DIR}/qvdisk-names)
  set_tests_properties(qvdisk_exe_names PROPERTIES TIMEOUT 300)
endif()

# What 32 scans of small folders commit, printed (ctest -R windows_commit_charge -V).
add_executable(commit_charge ${CMAKE_CURRENT_LIST_DIR}/commit_charge.cpp)
target_link_libraries(commit_charge PRIVATE quorvel-disk psapi)
target_compile_options(commit_charge PRIVATE ${QV_WARNINGS})
add_dependencies(commit_charge dll_loadlibrary)  # which puts the DLL beside the test programs
add_test(NAME windows_commit_charge COMMAND commit_charge 32)
set_tests_properties(windows_commit_charge PROPERTIES TIMEOUT 300)

# quorvel-disk.lib taken by an MSVC-compatible linker: a host compiled for the
# MSVC ABI by clang and linked by lld-link (scripts/test-windows.sh installs
# both), run under Wine.
if(CMAKE_CROSSCOMPILING AND CMAKE_HOST_UNIX AND MINGW)
  add_test(NAME windows_msvc_import_lib
    COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check_msvc_link.sh ${CMAKE_DLLTOOL} ${CMAKE_CROSSCOMPILING_EMULATOR}
            ${PROJECT_SOURCE_DIR} $<TARGET_FILE_DIR:quorvel-disk> ${CMAKE_CURRENT_BINARY_DIR}/msvc-link)
  set_tests_properties(windows_msvc_import_lib PROPERTIES TIMEOUT 300)
endif()
