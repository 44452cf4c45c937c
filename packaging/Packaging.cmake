# SPDX-License-Identifier: Apache-2.0
# What `cmake --install` and `cpack` deliver, by install component:
#   programs       the user's programs (stripped), bash completion and the
#                  CMake package for firmware projects
#   documentation  the usage README, the tools' READMEs, the examples'
#                  walk-through
#   manual         the manual pages as written
#   licence        LICENSE
#   debian         what only the Debian package holds instead: the copyright
#                  file, changelog, compressed manual pages and the lintian
#                  overrides (never installed unless asked for)
#   testtools      tarsil-yaml2obj, installed only when asked for
# Expects TARSIL_PROGRAMS, the targets of the programs under tools/ and the
# linker.
include(CMakePackageConfigHelpers)

option(TARSIL_INSTALL_STRIP "cmake --install strips the programs unless told --strip otherwise" ON)
option(TARSIL_INSTALL_TEST_TOOLS "cmake --install installs the test tools (tarsil-yaml2obj) too" OFF)
set(TARSIL_PACKAGE_MAINTAINER "tarsil maintainers <maintainers@tarsil.example>"
  CACHE STRING "The maintainer named by the Debian package")

# Tools that only the tests use; every other program is the user's.
set(TARSIL_TEST_TOOLS tarsil-yaml2obj)
set(TARSIL_USER_PROGRAMS ${TARSIL_PROGRAMS})
list(REMOVE_ITEM TARSIL_USER_PROGRAMS ${TARSIL_TEST_TOOLS})

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(staging ${PROJECT_BINARY_DIR}/packaging)
set(docdir ${CMAKE_INSTALL_DOCDIR})

# Programs. A plain `cmake --install` strips them as the package does;
# CMAKE_INSTALL_DO_STRIP given to the install script still decides.
if(TARSIL_INSTALL_STRIP)
  install(CODE "if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)\n  set(CMAKE_INSTALL_DO_STRIP 1)\nendif()"
    COMPONENT programs)
endif()
install(TARGETS ${TARSIL_USER_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
foreach(tool IN LISTS TARSIL_TEST_TOOLS)
  if(NOT TARGET ${tool})
    continue()
  endif()
  if(TARSIL_INSTALL_TEST_TOOLS)
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT testtools)
  else()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT testtools EXCLUDE_FROM_ALL)
  endif()
endforeach()

# bash-completion loads a command's completion from a file of its name.
foreach(program IN LISTS TARSIL_USER_PROGRAMS)
  install(FILES ${packaging_dir}/bash-completion/tarsil
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${program} COMPONENT programs)
endforeach()

# The CMake package: found under <prefix>/share/cmake/tarsil.
set(TARSIL_PACKAGE_PROGRAMS ${TARSIL_USER_PROGRAMS})
set(cmake_dir ${CMAKE_INSTALL_DATADIR}/cmake/tarsil)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tarsilConfig.cmake.in ${staging}/tarsilConfig.cmake
  INSTALL_DESTINATION ${cmake_dir} PATH_VARS CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${staging}/tarsilConfigVersion.cmake COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${staging}/tarsilConfig.cmake ${staging}/tarsilConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/tarsilFunctions.cmake DESTINATION ${cmake_dir} COMPONENT programs)

# The user's documentation: the README without its developer sections, the
# user programs' READMEs, the examples' walk-through.
add_custom_command(OUTPUT ${staging}/README.md
  COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/README.md -DOUTPUT=${staging}/README.md
    -P ${packaging_dir}/UserReadme.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${packaging_dir}/UserReadme.cmake
  VERBATIM)
set(packaging_outputs ${staging}/README.md)
install(FILES ${staging}/README.md DESTINATION ${docdir} COMPONENT documentation)
install(FILES ${PROJECT_SOURCE_DIR}/examples/README.md ${PROJECT_SOURCE_DIR}/examples/core14-counter-map.png
  DESTINATION ${docdir}/examples COMPONENT documentation)
foreach(program IN LISTS TARSIL_USER_PROGRAMS)
  if(EXISTS ${PROJECT_SOURCE_DIR}/tools/${program}/README.md)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/${program}/README.md DESTINATION ${docdir}/${program}
      COMPONENT documentation)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${docdir} COMPONENT licence)

file(GLOB TARSIL_MAN_PAGES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/man/*.[1-8])
foreach(page IN LISTS TARSIL_MAN_PAGES)
  string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT manual)
endforeach()

# The Debian package's own files: Debian wants manual pages and the changelog
# compressed with gzip -9n (no name or time stamp inside, so reproducible).
find_program(TARSIL_GZIP gzip)
if(TARSIL_GZIP)
  configure_file(${packaging_dir}/debian/copyright.in ${staging}/debian/copyright @ONLY)
  configure_file(${packaging_dir}/debian/changelog.in ${staging}/debian/changelog @ONLY)
  set(gzipped ${staging}/debian/changelog)
  foreach(page IN LISTS TARSIL_MAN_PAGES)
    get_filename_component(name ${page} NAME)
    string(REGEX REPLACE ".*\\.([1-8])$" "\\1" section ${page})
    add_custom_command(OUTPUT ${staging}/man/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${page} ${staging}/man/${name}
      COMMAND ${TARSIL_GZIP} -9nf ${staging}/man/${name}
      DEPENDS ${page}
      VERBATIM)
    list(APPEND packaging_outputs ${staging}/man/${name}.gz)
    install(FILES ${staging}/man/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
      COMPONENT debian EXCLUDE_FROM_ALL)
  endforeach()
  add_custom_command(OUTPUT ${staging}/debian/changelog.gz
    COMMAND ${TARSIL_GZIP} -9nkf ${staging}/debian/changelog
    DEPENDS ${staging}/debian/changelog
    VERBATIM)
  list(APPEND packaging_outputs ${staging}/debian/changelog.gz)
  install(FILES ${staging}/debian/copyright ${staging}/debian/changelog.gz DESTINATION ${docdir}
    COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${packaging_dir}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    RENAME tarsil COMPONENT debian EXCLUDE_FROM_ALL)
endif()
add_custom_target(packaging-files ALL DEPENDS ${packaging_outputs})

# `cpack -G DEB` in the build folder makes a package that installs the
# programs and the user's documentation under /usr; which components each
# kind of package holds is in CPackOptions.cmake.
set(CPACK_PACKAGE_NAME tarsil)
set(CPACK_PACKAGE_VENDOR "The tarsil project")
set(CPACK_PACKAGE_CONTACT "${TARSIL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relocating linker for 8-bit Harvard-architecture microcontrollers")
file(READ ${packaging_dir}/debian/description.txt CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE ${packaging_dir}/CPackOptions.cmake)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(TARSIL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(TARSIL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# On Windows, `cpack` makes a ZIP of what `cmake --install` installs.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  endif()
endif()
include(CPack)
