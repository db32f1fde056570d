# Installing the programs, their manual pages and the licence (cmake
# --install), and packing them (cpack): a Debian package, or a ZIP archive
# on Windows.
include(GNUInstallDirs)

if(WIN32)
  # Everything side by side in the archive's one folder, cp932tools-VERSION-win64.
  set(program_destination .)
  set(document_destination .)
else()
  set(program_destination ${CMAKE_INSTALL_BINDIR})
  set(document_destination ${CMAKE_INSTALL_DOCDIR})
endif()
install(TARGETS litconv txtconv RUNTIME DESTINATION ${program_destination})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${document_destination})

if(WIN32)
  # The READMEs with the pages under doc/ they link to, and the manual pages
  # as UTF-8 text, for a system without man.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/README.ja.md DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc DESTINATION .)
  find_program(GROFF_PROGRAM groff)
  if(GROFF_PROGRAM)
    set(text_pages)
    foreach(page IN ITEMS litconv txtconv)
      foreach(language IN ITEMS en ja)
        if(language STREQUAL en)
          set(source ${PROJECT_SOURCE_DIR}/man/${page}.1)
          set(text ${PROJECT_BINARY_DIR}/man/${page}.txt)
        else()
          set(source ${PROJECT_SOURCE_DIR}/man/${language}/${page}.1)
          set(text ${PROJECT_BINARY_DIR}/man/${page}.${language}.txt)
        endif()
        # -P-cbou: plain characters, no bold or underline by overstriking.
        add_custom_command(OUTPUT ${text}
          COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
          COMMAND ${GROFF_PROGRAM} -k -t -man -Tutf8 -P-cbou ${source} > ${text}
          DEPENDS ${source}
          VERBATIM)
        list(APPEND text_pages ${text})
      endforeach()
    endforeach()
    add_custom_target(text_pages ALL DEPENDS ${text_pages})
    install(FILES ${text_pages} DESTINATION .)
  else()
    message(NOTICE "The manual pages are left out of the package: groff not found.")
  endif()
else()
  # The manual pages in English and Japanese, and the package's changelog,
  # compressed as Debian keeps them.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  set(compressed)
  foreach(file IN ITEMS man/litconv.1 man/txtconv.1 man/ja/litconv.1 man/ja/txtconv.1 packaging/changelog)
    set(copy ${PROJECT_BINARY_DIR}/${file})
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${file} ${copy}
      COMMAND ${GZIP_PROGRAM} -9 -n -f ${copy}
      DEPENDS ${PROJECT_SOURCE_DIR}/${file}
      VERBATIM)
    list(APPEND compressed ${copy}.gz)
  endforeach()
  add_custom_target(compressed_documents ALL DEPENDS ${compressed})
  install(FILES ${PROJECT_BINARY_DIR}/man/litconv.1.gz ${PROJECT_BINARY_DIR}/man/txtconv.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_BINARY_DIR}/man/ja/litconv.1.gz ${PROJECT_BINARY_DIR}/man/ja/txtconv.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/ja/man1)
  # The package's changelog and lintian's overrides are the Debian
  # package's own: cpack installs them, cmake --install does not.
  install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
    COMPONENT debian EXCLUDE_FROM_ALL)

  # The changelog's newest entry is this version.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog newest_entry LIMIT_COUNT 1)
  if(NOT newest_entry MATCHES "^cp932tools \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog begins with \"${newest_entry}\", not with version ${PROJECT_VERSION}")
  endif()

  # Debian's machine-readable copyright file, with the licence's text as its
  # format wants it: each line indented by one space, an empty one a dot.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence_text)
  string(FIND "${licence_text}" "Permission is hereby granted" licence_start)
  string(SUBSTRING "${licence_text}" ${licence_start} -1 licence_text)
  string(STRIP "${licence_text}" licence_text)
  string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
  string(REPLACE "\n" "\n " licence_text " ${licence_text}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/copyright.in ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  if(CP932TOOLS_LINKED_STATICALLY)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME cp932tools
      COMPONENT debian EXCLUDE_FROM_ALL)
  endif()
endif()

set(CPACK_PACKAGE_NAME cp932tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert code page 932 (Shift JIS) sources and texts to UTF-8")
# Lines of at most 79 characters, as Debian's control files want them.
set(CPACK_PACKAGE_DESCRIPTION [[
Two console programs that carry Japanese text from Windows code page 932
(Shift JIS) to UTF-8.

litconv rewrites a C or C++ source file in code page 932 so that every
character inside a narrow string literal is spelled as hexadecimal escapes
of its UTF-8 bytes. It reads the source as a compiler does: comments,
character literals, header names, identifiers and wide literals keep their
text, and the file stays in code page 932.

txtconv re-encodes a whole code page 932 text file to UTF-8 behind a
byte-order mark.

Both convert one file per run, in place or into a new file, and never leave
a half-written output behind.]])
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME cp932tools-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "cp932tools developers <cp932tools@example.org>"
    CACHE STRING "The Maintainer field of the Debian package")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Depends: the shared libraries the programs link, as dpkg-shlibdeps finds
  # them; none where they are linked statically.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Everything cmake --install installs, and the package's own files.
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")
endif()
include(CPack)
