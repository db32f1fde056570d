# Installing the programs and their manual pages (cmake --install), and
# packing them (cpack): a Debian package, or a ZIP archive on Windows.
include(GNUInstallDirs)

install(TARGETS litconv txtconv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT WIN32)
  # The manual pages in English and Japanese, compressed as Debian keeps them.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(manual_pages)
  foreach(page IN ITEMS litconv.1 txtconv.1 ja/litconv.1 ja/txtconv.1)
    set(copy ${PROJECT_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/man/${page} ${copy}
      COMMAND ${GZIP_PROGRAM} -9 -n -f ${copy}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
      VERBATIM)
    list(APPEND manual_pages ${copy}.gz)
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
  install(FILES ${PROJECT_BINARY_DIR}/man/litconv.1.gz ${PROJECT_BINARY_DIR}/man/txtconv.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/man/ja/litconv.1.gz ${PROJECT_BINARY_DIR}/man/ja/txtconv.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
endif()

set(CPACK_PACKAGE_NAME cp932tools)
if(PROJECT_VERSION)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
else()
  set(CPACK_PACKAGE_VERSION 1.0.0)
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert code page 932 (Shift JIS) sources and texts to UTF-8")
set(CPACK_PACKAGE_DESCRIPTION
  "litconv rewrites a C source file in code page 932 so that every character inside a \
narrow string literal is spelled as hexadecimal escapes of its UTF-8 bytes; the rest of \
the file stays as it is. txtconv re-encodes a whole code page 932 text file to UTF-8 \
behind a byte-order mark.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "cp932tools developers <cp932tools@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Depends: the shared libraries the programs link, as dpkg-shlibdeps finds
  # them; none where they are linked statically (see CMakeLists.txt).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
