# GoogleTest for the tests: an installed package where there is one
# (libgtest-dev), else the sources Debian's googletest package puts in
# /usr/src/googletest, built here as static libraries and not installed.
# Without either the programs still build and the tests are off.
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, used when no GTest package is installed")
  if(EXISTS "${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory("${GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL SYSTEM)
    # Its warnings are not ours to fix (g++ 12 gives a false -Wrestrict in it).
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
  else()
    message(NOTICE "Tests are off: GoogleTest not found (apt-get install googletest, or set GOOGLETEST_SOURCE_DIR).")
    set(BUILD_TESTING OFF)
  endif()
endif()
