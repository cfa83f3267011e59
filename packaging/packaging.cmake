# What the packages hold besides the programs, and how CPack builds them: a .deb on Linux
# (preset "package"), a zip from the Windows cross-build (preset "package-windows").

set(TAPWRIGHT_PACKAGE_MAINTAINER "The Tapwright tools developers <tools@tapwright.example.org>"
    CACHE STRING "Maintainer of the Debian package: a name and an address")

set(CPACK_PACKAGE_NAME tapwright-tools)
set(CPACK_PACKAGE_VENDOR "The Tapwright tools developers")
set(CPACK_PACKAGE_CONTACT "${TAPWRIGHT_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SPI sniffer and HVP board test for the Tapwright adapter")
# Lines of at most 80 characters, as Debian wants.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "Console programs that drive the Tapwright bus adapter over a serial port."
       "spi-sniffer puts the adapter into SPI sniffing and prints every sniffed"
       "byte, as hex and decoded into frames. hvp-selftest is the production test"
       "of the HVP add-on board. tapwright-emu emulates the adapter on a"
       "pseudo-terminal, so that both can be tried without the hardware.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  # Older Notepads show a text with bare LF line ends as one line.
  configure_file(README.md README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
  set(made ${PROJECT_BINARY_DIR}/packaging)

  # Manual pages and the changelog carry the version; Debian wants them gzipped at the top level, with
  # no name or time stamp inside. A package with no Debian revision in its version is a native
  # one, whose changelog is plain changelog.gz.
  set(gzipped)
  foreach(page spi-sniffer hvp-selftest tapwright-emu)
    configure_file(man/${page}.1 ${made}/${page}.1 @ONLY)
    list(APPEND gzipped ${made}/${page}.1)
  endforeach()
  # The entry takes its version from project(): give it a new text and date with each release.
  configure_file(packaging/changelog.in ${made}/changelog @ONLY)
  list(APPEND gzipped ${made}/changelog)
  set(outputs)
  foreach(file IN LISTS gzipped)
    add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file} VERBATIM)
    list(APPEND outputs ${file}.gz)
  endforeach()
  add_custom_target(packaging_files ALL DEPENDS ${outputs})

  install(FILES ${made}/spi-sniffer.1.gz ${made}/hvp-selftest.1.gz ${made}/tapwright-emu.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md packaging/copyright ${made}/changelog.gz DESTINATION ${docdir})

  # One completion file; the loader looks a program's completion up by the program's name.
  set(completions ${made}/completions)
  configure_file(packaging/bash-completion ${completions}/spi-sniffer COPYONLY)
  file(CREATE_LINK spi-sniffer ${completions}/hvp-selftest SYMBOLIC)
  file(CREATE_LINK spi-sniffer ${completions}/tapwright-emu SYMBOLIC)
  install(FILES ${completions}/spi-sniffer ${completions}/hvp-selftest ${completions}/tapwright-emu
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
