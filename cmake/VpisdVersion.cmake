# One version number, project(vpisd VERSION ...), for the library's file names and SONAME, the
# programs' --version, the pkg-config and CMake packages and the Debian packages.
#
# VPISD_VERSION: "7.4.0". Programs take it through the interface target vpisd_version, which
# defines VPISD_VERSION ("7.4.0") and VPISD_LIBRARY_SONAME ("libvpisd.so.7") for their sources:
#   target_link_libraries(vpisd-cli PRIVATE vpisd_version)
set(VPISD_VERSION ${PROJECT_VERSION})
set(VPISD_SOVERSION ${PROJECT_VERSION_MAJOR})
set(VPISD_LIBRARY_SONAME ${CMAKE_SHARED_LIBRARY_PREFIX}vpisd${CMAKE_SHARED_LIBRARY_SUFFIX}.${VPISD_SOVERSION})

add_library(vpisd_version INTERFACE)
target_compile_definitions(vpisd_version INTERFACE
  VPISD_VERSION="${VPISD_VERSION}"
  VPISD_LIBRARY_SONAME="${VPISD_LIBRARY_SONAME}")

# The banner shows the version as major.minor with two minor digits (7.4.0 is "Version 7.04"),
# in a text of fixed width: it is written out in the driver's source, and this check keeps it
# and the project version one number.
if(PROJECT_VERSION_MINOR LESS 10)
  set(VPISD_BANNER_VERSION "${PROJECT_VERSION_MAJOR}.0${PROJECT_VERSION_MINOR}")
else()
  set(VPISD_BANNER_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
endif()
file(STRINGS ${PROJECT_SOURCE_DIR}/src/driver/describe.cpp vpisd_banner_version
     REGEX "Version [0-9]+\\.[0-9]+")
if(NOT vpisd_banner_version MATCHES "Version ${VPISD_BANNER_VERSION} ")
  message(FATAL_ERROR "The banner in src/driver/describe.cpp does not show "
                      "\"Version ${VPISD_BANNER_VERSION}\" for the project version ${PROJECT_VERSION}")
endif()
