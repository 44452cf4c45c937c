# SPDX-License-Identifier: Apache-2.0
# Read by cpack for each kind of package it makes. Every other kind holds
# what a plain `cmake --install` installs; the Debian package takes Debian's
# own forms (the copyright file, compressed manual pages) instead of the
# licence and the plain pages, in one package.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL programs documentation debian)
endif()
