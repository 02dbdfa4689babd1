# What `cmake --install` lays out.
#
# win32: the program and, for other programs of the package that call its
# KC functions, the library's public header, the import library, the export
# list and a package configuration giving the imported target nzept::kc:
#   bin/nzeptins.exe  lib/libnzeptins.exe.a  lib/nzeptins.def  include/plat.h
#   lib/cmake/nzept/nzeptConfig.cmake, nzeptConfigVersion.cmake
# native: the program alone. A Linux executable is no library to link
# against (no import library, and a position-independent executable is not
# a shared object), so the library's files are Windows-only.
include(GNUInstallDirs)

install(TARGETS nzeptins RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  return()
endif()

install(FILES $<TARGET_LINKER_FILE:nzeptins> ${PROJECT_SOURCE_DIR}/src/nzeptins.def
        DESTINATION ${CMAKE_INSTALL_LIBDIR})
# plat.h includes only standard headers: it is the whole public interface.
install(FILES ${PROJECT_SOURCE_DIR}/src/plat/plat.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

include(CMakePackageConfigHelpers)
set(NZ_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nzept)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nzeptConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/nzeptConfig.cmake
  INSTALL_DESTINATION ${NZ_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR)
# A caller asking for 1.x gets any 1.y; a 64-bit caller is refused.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/nzeptConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/nzeptConfig.cmake ${PROJECT_BINARY_DIR}/package/nzeptConfigVersion.cmake
        DESTINATION ${NZ_PACKAGE_DIR})
