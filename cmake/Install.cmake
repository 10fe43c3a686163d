# Install rules and the exported CMake package: find_package(kelcache CONFIG)
# gives the imported target kelcache::kelcache.
include(CMakePackageConfigHelpers)

install(TARGETS kelcache EXPORT kelcacheTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# (The include folder reaches users through the target's INSTALL_INTERFACE.)

# Headers keep their folders (host/, main/, public/) so that the same include
# lines work in the source tree and after installation.
install(FILES ${PROJECT_SOURCE_DIR}/kelcache.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelcache)
foreach(header IN LISTS KELCACHE_HEADERS)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${header})
  get_filename_component(dir ${rel} DIRECTORY)
  install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kelcache/${dir})
endforeach()

install(EXPORT kelcacheTargets
  NAMESPACE kelcache::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kelcache)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kelcacheConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelcacheConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kelcache)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelcacheConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/kelcacheConfig.cmake
  ${PROJECT_BINARY_DIR}/kelcacheConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/kelcache)
