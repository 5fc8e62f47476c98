# Install rules and packages: `cmake --install`, the Debian package (cpack -G DEB) and, in
# the Windows builds, the ZIP archive (cpack -G ZIP).
#
# Components:
#   Runtime      the plug-in, the tools, their manual pages, the examples and the documentation
#   Development  the runtime's public headers, its static libraries and the CMake package
#                configuration (find_package(XelcFile)); a component written against the
#                headers links the libraries, so both go together
# The Debian package holds both; the Windows archive holds the Runtime component.

# Debian wants the documentation in share/doc/<package>; Windows users look for doc/.
if(WIN32)
  set(CMAKE_INSTALL_DOCDIR doc CACHE PATH "documentation and examples")
else()
  set(CMAKE_INSTALL_DOCDIR share/doc/xelcfile CACHE PATH "documentation and examples")
endif()
# Debian's multiarch library folder (lib/x86_64-linux-gnu) for any prefix, not only /usr:
# the dynamic loader and find_package search it below /usr/local as well.
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The plug-in's file carries the version the component registers itself with ("3.01.01"),
# which is the project's version written the platform's way.
file(STRINGS ${PROJECT_SOURCE_DIR}/XELC_File/src/FileComponent.cc XEL_VERSION_LINE
     REGEX "Version\\(\\) const override")
string(REGEX MATCH "\"([0-9]+\\.[0-9]+\\.[0-9]+)\"" XEL_VERSION_MATCH "${XEL_VERSION_LINE}")
set(XEL_COMPONENT_VERSION ${CMAKE_MATCH_1})
if(NOT XEL_COMPONENT_VERSION VERSION_EQUAL PROJECT_VERSION)
  message(FATAL_ERROR "the component's version \"${XEL_COMPONENT_VERSION}\" "
                      "(XELC_File/src/FileComponent.cc) differs from the project's ${PROJECT_VERSION}")
endif()

set(XEL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/XelcFile)

# --- Runtime -------------------------------------------------------------------------------
if(TARGET XelcFile)
  # On Windows the DLL's name stays XelcFile.dll, and the version goes into its image header.
  set_target_properties(XelcFile PROPERTIES VERSION ${XEL_COMPONENT_VERSION})
  if(WIN32)
    # Beside the tools; the import library is of no use to the host.
    set(XEL_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
    install(TARGETS XelcFile
            RUNTIME DESTINATION ${XEL_PLUGIN_INSTALL_DIR} COMPONENT Runtime
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  else()
    # libXelcFile.so.3.01.01 with the SONAME libXelcFile.so.3 and the name libXelcFile.so.
    # Nothing links against a plug-in, so it goes into a folder of its own below the library
    # folder, as Debian wants for such shared objects, and without the executable bit.
    set(XEL_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/xelcfile)
    set_target_properties(XelcFile PROPERTIES SOVERSION ${PROJECT_VERSION_MAJOR})
    install(TARGETS XelcFile
            LIBRARY DESTINATION ${XEL_PLUGIN_INSTALL_DIR} COMPONENT Runtime
                    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  # An installed xelmaster finds the installed plug-in without --plugin: the plug-in's folder
  # as seen from the tools' folder.
  if(TARGET xelmaster)
    file(RELATIVE_PATH plugin_from_tools ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
         ${CMAKE_INSTALL_PREFIX}/${XEL_PLUGIN_INSTALL_DIR})
    if(plugin_from_tools STREQUAL "")
      set(plugin_from_tools .)
    endif()
    target_compile_definitions(xelmaster PRIVATE
                               XEL_INSTALLED_PLUGIN_DIR="${plugin_from_tools}")
  endif()
endif()

set(XEL_TOOLS xelhost xelmaster xeltrace xelmsg)
install(TARGETS ${XEL_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

install(FILES README.md cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT Runtime)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Runtime
        FILES_MATCHING PATTERN "*.md")
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT Runtime)

if(NOT WIN32)
  # Debian keeps the changelog and the manual pages compressed, without time stamps.
  set(XEL_CHANGELOG ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
  file(STRINGS ${XEL_CHANGELOG} XEL_CHANGELOG_TOP LIMIT_COUNT 1)
  if(NOT XEL_CHANGELOG_TOP MATCHES "^xelcfile \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog has no entry for ${PROJECT_VERSION} at the top")
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
                     COMMAND ${CMAKE_COMMAND} -E copy ${XEL_CHANGELOG} ${CMAKE_BINARY_DIR}/debian/changelog
                     COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/changelog
                     DEPENDS ${XEL_CHANGELOG} VERBATIM)
  set(XEL_PACKAGE_FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  install(FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT Runtime)

  # Manual pages from each tool's --help, which needs tools that run here: not cross-compiled,
  # and not the sanitizer builds, which are not packaged.
  find_program(XEL_HELP2MAN help2man)
  if(XEL_HELP2MAN AND NOT CMAKE_CROSSCOMPILING AND NOT XEL_SANITIZE AND NOT XEL_FUZZ)
    set(XEL_MAN_NAME_xelhost "the platform's host process: runs a plug-in library's XelEvent")
    set(XEL_MAN_NAME_xelmaster "the platform's master process for one plug-in")
    set(XEL_MAN_NAME_xeltrace "the platform's trace collector for one trace key")
    set(XEL_MAN_NAME_xelmsg "convert, query, compare and encrypt message documents")
    foreach(tool ${XEL_TOOLS})
      set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
      add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${XEL_HELP2MAN} --no-info --section=1 --version-string=${XEL_COMPONENT_VERSION}
                "--name=${XEL_MAN_NAME_${tool}}" --output=${page} $<TARGET_FILE:${tool}>
        COMMAND gzip -9nf ${page}
        DEPENDS ${tool} VERBATIM)
      list(APPEND XEL_PACKAGE_FILES ${page}.gz)
      install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Runtime)
    endforeach()
  elseif(NOT XEL_HELP2MAN)
    message(STATUS "help2man not found: no manual pages (scripts/deps.sh installs it)")
  endif()
  add_custom_target(xel_package_files ALL DEPENDS ${XEL_PACKAGE_FILES})
endif()

# --- Development ---------------------------------------------------------------------------
# The headers stay below include/xelcfile so that their folders (osal, util, xel) do not
# mix with other packages' headers; includes read "xel/Message.h" as in this tree.
set(XEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/xelcfile)
install(DIRECTORY XelLib/inc/ DESTINATION ${XEL_INSTALL_INCLUDEDIR} COMPONENT Development
        FILES_MATCHING PATTERN "*.h")
set_target_properties(xel_osal PROPERTIES EXPORT_NAME osal)
set_target_properties(xel_util PROPERTIES EXPORT_NAME util)
set_target_properties(xel_runtime PROPERTIES EXPORT_NAME runtime)
install(TARGETS xel_osal xel_util xel_runtime EXPORT XelcFileTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        INCLUDES DESTINATION ${XEL_INSTALL_INCLUDEDIR})
install(EXPORT XelcFileTargets NAMESPACE XelcFile:: DESTINATION ${XEL_CMAKE_PACKAGE_DIR}
        COMPONENT Development)
configure_package_config_file(cmake/XelcFileConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/cmake/XelcFileConfig.cmake
                              INSTALL_DESTINATION ${XEL_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/XelcFileConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/XelcFileConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/XelcFileConfigVersion.cmake
        DESTINATION ${XEL_CMAKE_PACKAGE_DIR} COMPONENT Development)

# --- Packages ------------------------------------------------------------------------------
set(XEL_PACKAGE_MAINTAINER "XelcFile maintainers <maintainers@users.noreply.c-seed-72d09aec.example>"
    CACHE STRING "maintainer named in the packages")
set(CPACK_PACKAGE_VENDOR "XelcFile maintainers")
set(CPACK_PACKAGE_CONTACT "${XEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file connector plug-in for the messaging platform")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_PACKAGE_NAME xelcfile)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What building against the headers and static libraries needs besides a compiler.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS
      "cmake, pkg-config, libssl-dev, libpam0g-dev, libacl1-dev, libsmbclient-dev")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "The plug-in library libXelcFile, which the platform's host process loads,
imports files from watched folders (plain files, trigger files, import
descriptors) and writes and reads files on request, on local folders and on
network shares. The tools xelhost, xelmaster, xeltrace and xelmsg stand in for
the platform to run and inspect the plug-in on one machine.
.
The runtime's headers and static libraries, with a CMake package configuration
(find_package(XelcFile)), serve to build other components against the runtime.")
endif()
include(CPack)
