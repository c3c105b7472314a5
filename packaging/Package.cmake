# Manual pages (scdoc sources in docs/man/) and the Debian package: `cpack -G DEB` in a build
# configured with -DCMAKE_INSTALL_PREFIX=/usr.

find_program(QB_SCDOC scdoc)
if(QB_SCDOC)
  # Substituted into the pages, so that their paths and examples are those of this installation.
  set(QB_HELPER ${CMAKE_INSTALL_FULL_LIBEXECDIR}/quellbrook/quellbrook)
  set(QB_PRIVATE_DIR_FULL ${CMAKE_INSTALL_FULL_LIBEXECDIR}/quellbrook)
  set(QB_DOCDIR_FULL ${CMAKE_INSTALL_FULL_DOCDIR})
  set(QB_MAN_PAGES)
  foreach(page quellbrook.1 quellbrook-record.1)
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.scd ${CMAKE_BINARY_DIR}/man/${page}.scd @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
      COMMAND sh -c "\"$1\" <\"$2\" | gzip -9n >\"$3\"" sh ${QB_SCDOC} ${page}.scd ${page}.gz
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/man
      DEPENDS ${CMAKE_BINARY_DIR}/man/${page}.scd
      COMMENT "Generating manual page ${page}"
      VERBATIM)
    list(APPEND QB_MAN_PAGES ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_target(man ALL DEPENDS ${QB_MAN_PAGES})
  install(FILES ${QB_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "scdoc not found (scripts/install-deps installs it): the manual pages are not built")
endif()

# What Debian wants beside the programs: copyright, a changelog (native packages keep it as
# changelog.gz), and the reasons for the lintian tags we accept.
string(TIMESTAMP QB_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package/changelog.gz
  COMMAND gzip -9nkf changelog
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/package
  DEPENDS ${CMAKE_BINARY_DIR}/package/changelog)
add_custom_target(package-docs ALL DEPENDS ${CMAKE_BINARY_DIR}/package/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
  RENAME quellbrook)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellbrook)
set(CPACK_PACKAGE_VENDOR "Quellbrook developers")
set(CPACK_PACKAGE_CONTACT "Quellbrook developers <quellbrook@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "headless audio and screen capture helper for applications")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Quellbrook captures audio and the screen for another application, its
host, which starts it as a child process, sends it commands on standard
input and reads binary frames on standard output and text lines on
standard error.
.
It streams the default microphone and the system audio output as two
48 kHz stereo PCM channels, streams a display or a window as H.264
(VA-API or NVENC where a GPU offers them, libx264 otherwise), reports
which applications use the microphone, and answers one-shot requests
such as device lists, screenshots and capture targets. It works with
PulseAudio and PipeWire sound servers, X11 displays and, through the
desktop portal, Wayland sessions.
.
The package also contains quellbrook-record, which runs the helper and
writes what it captures into WAV, H.264 and Matroska files.]])
# Depends and Recommends come from the built binaries' libraries at packaging time.
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/PackageDepends.cmake
  INPUT ${CMAKE_CURRENT_LIST_DIR}/PackageDepends.cmake.in)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package/PackageDepends.cmake)
include(CPack)
