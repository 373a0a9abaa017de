# What `cmake --install` adds for plug-in authors beside the libraries, headers and
# tools the targets install themselves: the CMake package UxFilterKit and a
# pkg-config file, both relocatable with the prefix.
include(CMakePackageConfigHelpers)

install(EXPORT UxFilterKitTargets NAMESPACE UxFilterKit:: DESTINATION ${UX_PACKAGE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/UxFilterKitConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/UxFilterKitConfig.cmake
  INSTALL_DESTINATION ${UX_PACKAGE_INSTALL_DIR}
  PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_BINDIR UX_ADDON_INSTALL_DIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/UxFilterKitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/UxFilterKitConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/UxFilterKitConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/UxFilterKitPlugin.cmake
  ${CMAKE_CURRENT_LIST_DIR}/filter-plugin.map
  DESTINATION ${UX_PACKAGE_INSTALL_DIR})

set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH UX_PC_PREFIX_FROM_PCFILEDIR /prefix/${pc_dir} /prefix)
string(REGEX REPLACE "/$" "" UX_PC_PREFIX_FROM_PCFILEDIR "${UX_PC_PREFIX_FROM_PCFILEDIR}")
set(UX_SANITIZE_LINK_FLAGS "")
if(UX_SANITIZE)
  set(UX_SANITIZE_LINK_FLAGS -fsanitize=${UX_SANITIZE})
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/uxfilterkit.pc.in ${CMAKE_CURRENT_BINARY_DIR}/uxfilterkit.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/uxfilterkit.pc DESTINATION ${pc_dir})
