# SPDX-License-Identifier: Apache-2.0
# packaging.cmake - what `cmake --install` puts where, and the packages CPack
# makes of it (scripts/package.sh builds them into dist/):
#   Linux:   bin/tarnwick, bin/tarnwick-unpack, bin/tarnwick-scan, the man
#            pages under share/man, the administrator's guide
#            tarnwick-readme.txt, LICENSE, the Debian copyright file and
#            changelog under share/doc/tarnwick; CPack makes a .deb whose
#            Depends dpkg-shlibdeps computes, with the maintainer scripts of
#            docs/debian when the bridge is built.
#   Windows: tarnwick.exe, tarnwick-unpack.exe, tarnwick-scan.exe,
#            tarnwick-readme.txt and
#            LICENSE.txt side by side, text with CR LF; CPack makes a zip with
#            them at its top level.
# Included last by the top-level CMakeLists.txt, so that every program target
# exists: a man page is installed only beside the program it describes.
include(GNUInstallDirs)

set(tarnwickGeneratedDocs ${PROJECT_BINARY_DIR}/generated/docs)

if(WIN32)
  set(tarnwickProgramDestination .)
  set(tarnwickDocDestination .)
  # Notepad and every Windows editor show these as the administrator expects.
  set(tarnwickTextLineEnds CRLF)
  set(tarnwickLicenseName LICENSE.txt)
else()
  set(tarnwickProgramDestination ${CMAKE_INSTALL_BINDIR})
  set(tarnwickDocDestination ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)
  set(tarnwickTextLineEnds UNIX)
  set(tarnwickLicenseName LICENSE)
endif()

install(TARGETS tarnwick tarnwick-unpack tarnwick-scan RUNTIME DESTINATION ${tarnwickProgramDestination})

# Windows: each program carries a version resource (version, description,
# licence). Its numeric version is the text's numbers with the letter as the
# third: 1.12a is 1,12,1,0.
if(WIN32)
  enable_language(RC)
  string(REGEX MATCH "^([0-9]+)\\.([0-9]+)([a-z]?)" tarnwickVersionMatch ${TARNWICK_VERSION})
  set(tarnwickVersionLetter 0)
  if(CMAKE_MATCH_3)
    string(FIND "abcdefghijklmnopqrstuvwxyz" ${CMAKE_MATCH_3} tarnwickVersionLetter)
    math(EXPR tarnwickVersionLetter "${tarnwickVersionLetter} + 1")
  endif()
  set(tarnwickVersionNumbers "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${tarnwickVersionLetter},0")
  foreach(tarnwickProgram tarnwick tarnwick-unpack tarnwick-scan)
    if(tarnwickProgram STREQUAL tarnwick)
      set(tarnwickProgramDescription "Tarnwick virus-checking content filter for mail servers")
    elseif(tarnwickProgram STREQUAL tarnwick-scan)
      set(tarnwickProgramDescription "Tarnwick: scans messages with the anti-virus, one verdict line each")
    else()
      set(tarnwickProgramDescription "Tarnwick: shows the files the anti-virus sees for one message")
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                   ${PROJECT_BINARY_DIR}/generated/${tarnwickProgram}.rc @ONLY)
    target_sources(${tarnwickProgram} PRIVATE ${PROJECT_BINARY_DIR}/generated/${tarnwickProgram}.rc)
  endforeach()
endif()

# The guide carries the version; the licence is copied unchanged but for its
# line ends (it holds no @ sign for configure_file to replace).
configure_file(${PROJECT_SOURCE_DIR}/docs/tarnwick-readme.txt
               ${tarnwickGeneratedDocs}/tarnwick-readme.txt @ONLY NEWLINE_STYLE ${tarnwickTextLineEnds})
configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${tarnwickGeneratedDocs}/${tarnwickLicenseName}
               @ONLY NEWLINE_STYLE ${tarnwickTextLineEnds})
install(FILES ${tarnwickGeneratedDocs}/tarnwick-readme.txt
              ${tarnwickGeneratedDocs}/${tarnwickLicenseName}
        DESTINATION ${tarnwickDocDestination})

if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/copyright DESTINATION ${tarnwickDocDestination})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME tarnwick)

  # Man pages and the Debian changelog are compressed, as Debian keeps them,
  # when gzip is there.
  find_program(TARNWICK_GZIP gzip)
  set(tarnwickCompressed)
  # tarnwick_compress(FILE OUTPUT_VARIABLE) - FILE.gz made at build time, or
  # FILE itself without gzip.
  function(tarnwick_compress file outputVariable)
    if(TARNWICK_GZIP)
      add_custom_command(OUTPUT ${file}.gz COMMAND ${TARNWICK_GZIP} -9 -n -f -k ${file}
                         DEPENDS ${file} VERBATIM)
      set(file ${file}.gz)
    endif()
    set(tarnwickCompressed ${tarnwickCompressed} ${file} PARENT_SCOPE)
    set(${outputVariable} ${file} PARENT_SCOPE)
  endfunction()

  configure_file(${PROJECT_SOURCE_DIR}/docs/debian/changelog
                 ${tarnwickGeneratedDocs}/changelog.Debian @ONLY)
  tarnwick_compress(${tarnwickGeneratedDocs}/changelog.Debian changelog)
  install(FILES ${changelog} DESTINATION ${tarnwickDocDestination})

  # Man pages: docs/man/NAME.SECTION with the version filled in.
  file(GLOB tarnwickManSources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[0-9])
  foreach(source IN LISTS tarnwickManSources)
    get_filename_component(page ${source} NAME)
    get_filename_component(program ${source} NAME_WLE)
    string(REGEX MATCH "[0-9]$" section ${page})
    if(NOT TARGET ${program})
      continue()  # its program is not part of this build
    endif()
    set(generated ${tarnwickGeneratedDocs}/man/${page})
    configure_file(${source} ${generated} @ONLY)
    tarnwick_compress(${generated} page)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(tarnwick_compressed_docs ALL DEPENDS ${tarnwickCompressed})

  # Installed programs carry no .comment or .note section (the compiler's and
  # the C library's version strings), as Debian strips them. Runs after
  # every other install rule: this file is included last.
  if(CMAKE_OBJCOPY)
    set(tarnwickInstalledPrograms tarnwick tarnwick-unpack tarnwick-scan)
    if(TARGET tarnwick-milter)
      list(APPEND tarnwickInstalledPrograms tarnwick-milter)
    endif()
    foreach(program IN LISTS tarnwickInstalledPrograms)
      install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                    --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)")
    endforeach()
  endif()
endif()

# Packages.
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR "Quillmark")
set(CPACK_PACKAGE_VERSION ${TARNWICK_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "virus-checking content filter for mail servers, using the resident anti-virus")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarnwick-${TARNWICK_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnwick maintainers <maintainers@users.noreply.c-seed-2a8ee104.example>")
  # CPack puts the summary above it as the synopsis line.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Tarnwick is started by a mail server as a content-filter helper. It copies\n"
      "each message, and its attachments decoded, into a folder that the\n"
      "machine's on-access anti-virus watches, and reports in two added header\n"
      "lines whether the anti-virus removed, changed or locked any of them. It\n"
      "contains no scanner of its own.")
  # With the milter bridge on board, the package makes the system user its
  # unit runs as and the folders it works in (postinst), stops the bridge
  # before removal (prerm) and removes the folders on purge (postrm; having
  # one also keeps the package known to dpkg until it is purged).
  if(TARGET tarnwick-milter)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/docs/debian/postinst
        ${PROJECT_SOURCE_DIR}/docs/debian/prerm ${PROJECT_SOURCE_DIR}/docs/debian/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # postinst falls back to adduser where systemd-sysusers is missing.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  endif()
endif()
include(CPack)
