# The Debian packages, built by CPack from the install rules' components:
#   quillmere         (component client): the window, quillmere-check, the desktop entry, the
#                     icons, the help page and their manual pages;
#   quillmere-server  (component server): the server, its systemd unit, its options file
#                     /etc/default/quillmere-server (a conffile) and its manual page.
# Configure a build dir of its own with -DQUILLMERE_DEB_PACKAGE=ON -DCMAKE_INSTALL_PREFIX=/usr,
# build it, and run cpack there (`tools/dev.sh package` does all of it).
set(QUILLMERE_PACKAGE_MAINTAINER "Quillmere developers <quillmere@example.org>" CACHE STRING
    "Maintainer field of the Debian packages and their changelog entry")
set(QUILLMERE_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after the -)")
set(CPACK_DEBIAN_VERSION "${PROJECT_VERSION}-${QUILLMERE_DEB_RELEASE}")

if(NOT QUILLMERE_DEB_PACKAGE)
    return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "QUILLMERE_DEB_PACKAGE needs -DCMAKE_INSTALL_PREFIX=/usr, "
                        "not ${CMAKE_INSTALL_PREFIX}: the packages install below /usr")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmere)
set(CPACK_PACKAGE_VENDOR "Quillmere")
set(CPACK_PACKAGE_CONTACT "${QUILLMERE_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# CPackDeb puts this summary in front of every component's description unless it is CPack's
# own default; each package here has its own summary, the first line of its description.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client)
if(QUILLMERE_BUILD_SERVER)
    list(APPEND CPACK_COMPONENTS_ALL server)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILLMERE_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from dpkg-shlibdeps, for the libraries the programs really link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME quillmere)
set(CPACK_DEBIAN_CLIENT_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLIENT_DESCRIPTION
    "tells whether a router port is forwarded, and to which machine
Quillmere opens a TCP or UDP port on this computer, asks a check server on
the internet to reach it from outside, watches both sides, and tells whether
the port is open on this computer, open on another device, or not open.
It also asks the router on the LAN (UPnP IGD, NAT-PMP) what it says about the
port, and can ask it to forward the port here.
.
This package holds the desktop program, quillmere, and the same check from a
terminal, quillmere-check.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME quillmere-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "check server for Quillmere's port checks
quillmere-server is the other side of a Quillmere check: run on a host with a
public address, it connects to the port a client asks for at the client's own
address, pings that address, and replies with the findings. It limits each
client's checks and connections, and probes no private address by default.
.
The package runs it as a hardened systemd service (not enabled on
installation), with its options in /etc/default/quillmere-server.")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/server/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/server/postinst
    ${PROJECT_SOURCE_DIR}/packaging/server/prerm
    ${PROJECT_SOURCE_DIR}/packaging/server/postrm)

include(CPack)
