# The tests that run on both backends, built for Windows against the real
# platform (run under Wine), plus the Windows-only checks of the seam.
#
#   cmake --preset windows -B build/win32 && cmake --build build/win32 -j2
#   wine build/win32/both_tests.exe

set(KESTOVA_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources to build with mingw-w64")

if(NOT EXISTS ${KESTOVA_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(WARNING "GoogleTest sources not found in ${KESTOVA_GTEST_SOURCE_DIR}: both_tests.exe is not built")
  return()
endif()

# GoogleTest built as static libraries, without pthreads (mingw-w64's win32
# thread model) and without GoogleMock or install rules.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_SHARED_LIBS OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTOVA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# The win32 thread model of this GCC has no std::mutex, which GoogleTest's
# Notification needs; a Win32-event version replaces it, so that GoogleTest
# keeps its Windows threading and death-test support.
target_sources(gtest PRIVATE ${CMAKE_SOURCE_DIR}/tests/windows/gtest_notification.cpp)
target_compile_definitions(gtest PUBLIC GTEST_HAS_NOTIFICATION_=1)
target_compile_options(gtest PUBLIC "SHELL:-include ${CMAKE_SOURCE_DIR}/tests/windows/gtest_notification.h")

file(GLOB BOTH_TEST_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tests/both/*_test.cpp ${CMAKE_SOURCE_DIR}/tests/windows/*_test.cpp)
add_executable(both_tests ${BOTH_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/tests/both/machine_win32.cpp)
target_include_directories(both_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(both_tests PRIVATE patch_core gtest gtest_main)
# One file that runs in any Wine prefix: no MinGW runtime DLLs beside it.
target_link_options(both_tests PRIVATE -static -static-libgcc -static-libstdc++)
add_custom_command(TARGET both_tests POST_BUILD
  COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check-imports.sh $<TARGET_FILE:both_tests> ${CMAKE_OBJDUMP}
  VERBATIM)
