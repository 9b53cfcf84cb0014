# Installation in four parts, the Debian packages of cmake/VpisdPackage.cmake:
#   libvpisd7      the driver library (SONAME libvpisd.so.7)
#   libvpisd-dev   the header, the libvpisd.so link, pkg-config and CMake packages, the host guide
#   vpisd-tools    vpisd-cli, vpisd-sim, their man pages and completion
#   vpisd-gateway  the gateway (when it is built), its unit, /etc/vpisd/gateway.toml, man page,
#                  completion and guide; its maintainer scripts are in packaging/debian/vpisd-gateway
# With CMAKE_INSTALL_PREFIX=/usr the library goes to the multiarch directory
# (/usr/lib/x86_64-linux-gnu); scripts/package.sh configures it so.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VPISD_LIB_PACKAGE libvpisd${VPISD_SOVERSION})
set(VPISD_DEV_PACKAGE libvpisd-dev)
set(VPISD_TOOLS_PACKAGE vpisd-tools)
set(VPISD_GATEWAY_PACKAGE vpisd-gateway)
set(vpisd_generated ${PROJECT_BINARY_DIR}/install)

# Writes a copy compressed as Debian keeps it (gzip -9n: no name, no time stamp).
function(vpisd_gzip source destination)
  get_filename_component(dir ${destination} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${destination} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

# The library, versioned: libvpisd.so.7.4.0, its SONAME link libvpisd.so.7, and the
# development link libvpisd.so in the -dev package.
set_target_properties(vpisd PROPERTIES VERSION ${VPISD_VERSION} SOVERSION ${VPISD_SOVERSION})
install(TARGETS vpisd EXPORT vpisdTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT ${VPISD_LIB_PACKAGE} NAMELINK_COMPONENT ${VPISD_DEV_PACKAGE}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/vpisd/vpi.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vpisd COMPONENT ${VPISD_DEV_PACKAGE})

# find_package(vpisd) with the imported target vpisd::vpisd.
set(vpisd_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vpisd)
install(EXPORT vpisdTargets NAMESPACE vpisd:: DESTINATION ${vpisd_cmake_dir}
  COMPONENT ${VPISD_DEV_PACKAGE})
configure_package_config_file(cmake/vpisdConfig.cmake.in ${vpisd_generated}/vpisdConfig.cmake
  INSTALL_DESTINATION ${vpisd_cmake_dir})
write_basic_package_version_file(${vpisd_generated}/vpisdConfigVersion.cmake
  VERSION ${VPISD_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${vpisd_generated}/vpisdConfig.cmake ${vpisd_generated}/vpisdConfigVersion.cmake
  DESTINATION ${vpisd_cmake_dir} COMPONENT ${VPISD_DEV_PACKAGE})

# pkg-config --cflags --libs vpisd. The prefix is written relative to the file's own directory
# ("../.." under lib/pkgconfig), so the installed tree can be moved.
file(RELATIVE_PATH VPISD_PC_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VPISD_PC_PREFIX "${VPISD_PC_PREFIX}")
configure_file(cmake/vpisd.pc.in ${vpisd_generated}/vpisd.pc @ONLY)
install(FILES ${vpisd_generated}/vpisd.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${VPISD_DEV_PACKAGE})

# The programs. vpisd-cli's own directory installs it; its rule carries no component, so the
# default component is set to the tools' package before tools/ is added (top-level file).
if(VPISD_TOOLS)
  install(TARGETS vpisd-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${VPISD_TOOLS_PACKAGE})
  install(FILES packaging/bash-completion/vpisd-cli
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    COMPONENT ${VPISD_TOOLS_PACKAGE})
endif()
# The gateway: its unit under /usr/lib/systemd/system, and the configuration the unit reads,
# a commented example without [[line]] (the gateway runs and serves nothing until one is added).
if(TARGET vpisd-gateway)
  install(TARGETS vpisd-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT ${VPISD_GATEWAY_PACKAGE})
  install(FILES packaging/bash-completion/vpisd-gateway
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    COMPONENT ${VPISD_GATEWAY_PACKAGE})
  install(FILES gateway/vpisd-gateway.service DESTINATION lib/systemd/system
    COMPONENT ${VPISD_GATEWAY_PACKAGE})
  install(FILES packaging/debian/vpisd-gateway/gateway.toml
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vpisd COMPONENT ${VPISD_GATEWAY_PACKAGE})
endif()

# Man pages: every docs/man/*.1 and *.8, compressed.
file(GLOB vpisd_man_pages CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.[18])
foreach(page IN LISTS vpisd_man_pages)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  vpisd_gzip(${page} ${vpisd_generated}/man/${name}.gz)
  set(package ${VPISD_TOOLS_PACKAGE})
  if(name STREQUAL "vpisd-gateway.8")
    if(NOT TARGET vpisd-gateway)
      continue()
    endif()
    set(package ${VPISD_GATEWAY_PACKAGE})
  endif()
  install(FILES ${vpisd_generated}/man/${name}.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${package})
endforeach()

# Documentation, in /usr/share/doc/<package>/ with the layout of the source tree, so that the
# links between the files hold where they are installed. Each package carries its copyright
# (the license, in Debian's machine-readable form) and the changelog.
file(READ LICENSE vpisd_license)
string(REGEX REPLACE "\n+$" "" vpisd_license "${vpisd_license}")
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" _ "${vpisd_license}")
set(VPISD_COPYRIGHT_HOLDER "${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n\n" "\n.\n" vpisd_license_body "${vpisd_license}")
string(REGEX REPLACE "\n" "\n " VPISD_LICENSE_TEXT " ${vpisd_license_body}")
configure_file(packaging/debian/copyright.in ${vpisd_generated}/copyright @ONLY)
vpisd_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog ${vpisd_generated}/changelog.gz)

file(GLOB vpisd_guides CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
file(GLOB vpisd_guide_images CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/images/*.png)
foreach(package IN ITEMS ${VPISD_LIB_PACKAGE} ${VPISD_DEV_PACKAGE} ${VPISD_TOOLS_PACKAGE})
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES ${vpisd_generated}/copyright ${vpisd_generated}/changelog.gz
    DESTINATION ${docdir} COMPONENT ${package})
  if(NOT package STREQUAL VPISD_LIB_PACKAGE)
    install(FILES ${vpisd_guides} DESTINATION ${docdir}/docs COMPONENT ${package})
    install(FILES ${vpisd_guide_images} DESTINATION ${docdir}/docs/images COMPONENT ${package})
    install(FILES docs/examples/host.c docs/examples/CMakeLists.txt
      DESTINATION ${docdir}/docs/examples COMPONENT ${package})
  endif()
endforeach()
# The gateway's guide alone (it links to nothing but its image) in the gateway's package.
if(TARGET vpisd-gateway)
  set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VPISD_GATEWAY_PACKAGE})
  install(FILES ${vpisd_generated}/copyright ${vpisd_generated}/changelog.gz
    DESTINATION ${docdir} COMPONENT ${VPISD_GATEWAY_PACKAGE})
  install(FILES docs/gateway.md DESTINATION ${docdir}/docs COMPONENT ${VPISD_GATEWAY_PACKAGE})
  install(FILES docs/images/status-page.png DESTINATION ${docdir}/docs/images
    COMPONENT ${VPISD_GATEWAY_PACKAGE})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VPISD_TOOLS_PACKAGE}
  COMPONENT ${VPISD_TOOLS_PACKAGE})
install(FILES sim/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VPISD_TOOLS_PACKAGE}/sim
  COMPONENT ${VPISD_TOOLS_PACKAGE})

if(VPISD_TESTS AND VPISD_TOOLS)
  add_subdirectory(tests/packaging)
endif()
