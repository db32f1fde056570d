# With CP932TOOLS_STATIC, litconv and txtconv are linked as static
# position-independent executables, so that their addresses still change from
# run to run. A tree is converted with one run per file, and on files of a few
# kilobytes loading the shared C and C++ libraries cost more than the
# conversion.
#
# Flags can make such a program fail: the sanitizers' runtimes link
# statically but crash at start, objects built with -fno-pie do not link. Before the
# programs are linked so, a small program built with the same compiler and
# flags must link and run; where it does not, the programs are linked
# dynamically and one line says so.
if(NOT CP932TOOLS_STATIC)
  return()
endif()
if(CP932TOOLS_SANITIZE OR CP932TOOLS_FUZZ)
  message(STATUS "Linking the programs dynamically: the sanitizers' runtimes need the shared libraries")
  return()
endif()

include(CheckCXXSourceRuns)
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

# The result is kept in the cache for the flags it was found with, and found
# again when they change.
string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
set(static_pie_flags "${CMAKE_CXX_COMPILER};${CMAKE_CXX_FLAGS};${CMAKE_CXX_FLAGS_${build_type}};${CMAKE_EXE_LINKER_FLAGS};${CMAKE_EXE_LINKER_FLAGS_${build_type}}")
if(NOT static_pie_flags STREQUAL "${CP932TOOLS_STATIC_PIE_CHECKED_FLAGS}")
  unset(CP932TOOLS_STATIC_PIE_WORKS CACHE)
endif()
set(CP932TOOLS_STATIC_PIE_CHECKED_FLAGS "${static_pie_flags}" CACHE INTERNAL "")

cmake_push_check_state(RESET)
set(CMAKE_REQUIRED_LINK_OPTIONS -static-pie)
# The check compiles with the flags of this build type, as the programs do.
set(CMAKE_TRY_COMPILE_CONFIGURATION "${CMAKE_BUILD_TYPE}")
set(static_pie_program [[
#include <cstdio>
#include <string>
int main(int argc, char**) {
    std::string const text(static_cast<std::size_t>(argc) + 40, 'a');
    return std::fputs(text.c_str(), stdout) < 0;
}
]])
# A program built for another system can only be linked here.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  check_cxx_source_compiles("${static_pie_program}" CP932TOOLS_STATIC_PIE_WORKS)
else()
  check_cxx_source_runs("${static_pie_program}" CP932TOOLS_STATIC_PIE_WORKS)
endif()
unset(CMAKE_TRY_COMPILE_CONFIGURATION)
cmake_pop_check_state()

if(CP932TOOLS_STATIC_PIE_WORKS)
  foreach(program IN ITEMS litconv txtconv)
    target_link_options(${program} PRIVATE -static-pie)
  endforeach()
  set(CP932TOOLS_LINKED_STATICALLY ON)
else()
  message(NOTICE "Linking the programs dynamically: a static PIE built with these flags does not link or run (CMakeFiles/CMakeError.log)")
endif()
