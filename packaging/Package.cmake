# SPDX-License-Identifier: GPL-3.0-or-later
# A Debian package of whatever the install rules install (`cpack -G DEB`, run
# by scripts/package), so that a file added to the install rules is packaged
# without being named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vlxarp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(VLX_PACKAGE_MAINTAINER "VLXArp maintainers <maintainers@users.noreply.c-seed-a386b0fe.example>"
    CACHE STRING "Name and address in the Debian package's Maintainer field")
set(CPACK_PACKAGE_CONTACT "${VLX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI arpeggiator for JACK and ALSA")
set(CPACK_PACKAGE_DESCRIPTION "\
VLXArp plays the chord held on a MIDI keyboard as a repeating arpeggio, one
note at a time in pitch order, to a synth. The tempo (8 to 240 bpm), step
length, octave span, sustain and cycle (up, down, up-down, down-up, random)
are set in its window; it can follow a MIDI clock and hold released keys with
the sustain pedal. While arpeggiation is off, everything played passes
through.
.
It is a JACK client (JACK 2 or PipeWire) or an ALSA sequencer client, and
keeps its connections across restarts.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends is what dpkg-shlibdeps finds the binaries linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-docs.cmake)
include(CPack)
