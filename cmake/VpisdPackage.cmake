# The Debian packages (scripts/package.sh, or cpack -G DEB in a tree configured with
# CMAKE_INSTALL_PREFIX=/usr): one .deb per install component of cmake/VpisdInstall.cmake.
set(VPISD_PACKAGE_MAINTAINER "vpisd authors <vpisd@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vpisd)
set(CPACK_PACKAGE_VENDOR "the vpisd authors")
set(CPACK_PACKAGE_CONTACT "${VPISD_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${VPISD_LIB_PACKAGE} ${VPISD_DEV_PACKAGE} ${VPISD_TOOLS_PACKAGE})
if(TARGET vpisd-gateway)
  list(APPEND CPACK_COMPONENTS_ALL ${VPISD_GATEWAY_PACKAGE})
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${VPISD_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Maintainer scripts 0755 and the other control files 0644, as dpkg-deb and lintian expect.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# shlibs: packages built against libvpisd.so.7 depend on libvpisd7 (>= this version).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# Descriptions: the first line is the synopsis; an empty line separates paragraphs (CPack
# indents the lines as the control file wants them).
set(vpisd_about
  "vpisd is a communication driver for Square D SY/MAX PLCs on an RS-232 line,\n"
  "peer to peer or through a multi-drop network with a normal and a backup route\n"
  "per PLC. SCADA and HMI hosts load it and call its single C entry point\n"
  "VpiMain to describe it, start a line from its init file, parse tag addresses,\n"
  "and read and write registers, 32-bit values and bits.\n")

string(TOUPPER ${VPISD_LIB_PACKAGE} lib)
set(CPACK_DEBIAN_${lib}_PACKAGE_NAME ${VPISD_LIB_PACKAGE})
set(CPACK_DEBIAN_${lib}_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_${lib}_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/triggers ${PROJECT_SOURCE_DIR}/packaging/debian/symbols)
string(CONCAT CPACK_COMPONENT_${lib}_DESCRIPTION
  "SY/MAX RS-232 driver for SCADA hosts - library\n" ${vpisd_about} "\n"
  "This package holds the shared library libvpisd.so.7.")

string(TOUPPER ${VPISD_DEV_PACKAGE} dev)
set(CPACK_DEBIAN_${dev}_PACKAGE_NAME ${VPISD_DEV_PACKAGE})
set(CPACK_DEBIAN_${dev}_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_${dev}_DEPENDS ${VPISD_LIB_PACKAGE})
string(CONCAT CPACK_COMPONENT_${dev}_DESCRIPTION
  "SY/MAX RS-232 driver for SCADA hosts - development files\n" ${vpisd_about} "\n"
  "This package holds what a host is built with: the header vpisd/vpi.h, the\n"
  "libvpisd.so link, the pkg-config file vpisd.pc, the CMake package vpisd\n"
  "(imported target vpisd::vpisd), the host guide and a complete example host.")

string(TOUPPER ${VPISD_TOOLS_PACKAGE} tools)
set(CPACK_DEBIAN_${tools}_PACKAGE_NAME ${VPISD_TOOLS_PACKAGE})
set(CPACK_DEBIAN_${tools}_PACKAGE_SECTION utils)
# vpisd-cli loads the driver at run time, which dpkg-shlibdeps cannot see.
set(CPACK_COMPONENT_${tools}_DEPENDS ${VPISD_LIB_PACKAGE})
string(CONCAT CPACK_COMPONENT_${tools}_DESCRIPTION
  "SY/MAX RS-232 driver for SCADA hosts - tools and simulator\n" ${vpisd_about} "\n"
  "vpisd-cli is a host on the command line: it reads, writes and polls tags\n"
  "through the driver, prints the bytes on the wire and writes text, csv or\n"
  "JSON. vpisd-sim simulates a SY/MAX network of PLCs on a pseudo-terminal,\n"
  "with faults to inject, for trying hosts and lines without a plant.")

# The gateway, a service: postinst enables and starts (on an upgrade restarts) the unit, prerm
# stops it on removal, postrm masks it on removal and removes its links and state on purge.
# The scripts do what debhelper's systemd snippets do, through deb-systemd-helper.
if(TARGET vpisd-gateway)
  string(TOUPPER ${VPISD_GATEWAY_PACKAGE} gateway)
  set(gateway_control ${PROJECT_SOURCE_DIR}/packaging/debian/vpisd-gateway)
  set(CPACK_DEBIAN_${gateway}_PACKAGE_NAME ${VPISD_GATEWAY_PACKAGE})
  set(CPACK_DEBIAN_${gateway}_PACKAGE_SECTION net)
  # The driver is loaded at run time (the exact build the gateway was made with); the
  # maintainer scripts call deb-systemd-helper and deb-systemd-invoke.
  set(CPACK_COMPONENT_${gateway}_DEPENDS ${VPISD_LIB_PACKAGE})
  set(CPACK_DEBIAN_${gateway}_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
  set(CPACK_DEBIAN_${gateway}_PACKAGE_CONTROL_EXTRA
    ${gateway_control}/conffiles ${gateway_control}/postinst ${gateway_control}/prerm
    ${gateway_control}/postrm)
  string(CONCAT CPACK_COMPONENT_${gateway}_DESCRIPTION
    "SY/MAX RS-232 driver for SCADA hosts - Modbus TCP, MQTT and Sparkplug gateway\n"
    ${vpisd_about} "\n"
    "vpisd-gateway serves the PLCs of one or more serial lines to Modbus TCP\n"
    "clients, publishes their registers as JSON on MQTT with Home Assistant\n"
    "discovery and as a Sparkplug B edge node, and shows its lines, PLCs and\n"
    "clients on an HTTP status page with Prometheus metrics. It runs as the\n"
    "systemd service vpisd-gateway, enabled and started on installation,\n"
    "configured in /etc/vpisd/gateway.toml; as installed that file names no\n"
    "line and the service serves nothing.")
endif()

include(CPack)
