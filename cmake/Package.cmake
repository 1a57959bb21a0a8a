# The installed package: KestrixConfig.cmake with its version file, the
# exported Kestrix:: targets, and kestrix.pc for pkg-config users. Both name
# what the libraries link, found on the consumer's machine as the build found
# them here.

include(CMakePackageConfigHelpers)

set(config_dir "${CMAKE_INSTALL_LIBDIR}/cmake/Kestrix")
install(EXPORT KestrixTargets NAMESPACE Kestrix:: DESTINATION "${config_dir}")
configure_package_config_file(cmake/KestrixConfig.cmake.in
  "${PROJECT_BINARY_DIR}/KestrixConfig.cmake"
  INSTALL_DESTINATION "${config_dir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/KestrixConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${PROJECT_BINARY_DIR}/KestrixConfig.cmake"
  "${PROJECT_BINARY_DIR}/KestrixConfigVersion.cmake"
  cmake/FindKestrixProtobufC.cmake
  DESTINATION "${config_dir}")

# pkg-config: one module for every library, in link order (each before the
# ones it builds on), with the link options the targets carry. The prefix is
# found from the file's own place, so that the tree can be installed anywhere.
file(RELATIVE_PATH pc_prefix "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" pc_prefix "${pc_prefix}")
set(pc_libs)
foreach(library ZozIduvurCrashes ZozIduvurAnalytics ZozIduvur RvCocoa RvStreams
                kestrix_crash_capture kestrix_webkit kestrix_appkit kestrix_objc
                kestrix_foundation kestrix_system kestrix_system_facts kestrix_async
                kestrix_concurrency kestrix_dispatch kestrix_base)
  string(APPEND pc_libs " -l${library}")
endforeach()
foreach(anchor kestrix_appkit_load kestrix_webkit_load kestrix_rvcocoa_load)
  string(APPEND pc_libs " -Wl,--undefined=${anchor}")
endforeach()
configure_file(cmake/kestrix.pc.in "${PROJECT_BINARY_DIR}/kestrix.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/kestrix.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# Sanitized archives link only into programs built with the same sanitizers.
if(KESTRIX_SANITIZE)
  install(CODE "message(WARNING \"Kestrix: these libraries were built with -fsanitize=${KESTRIX_SANITIZE}; \"
                                \"programs that link them need the same option. A build without \"
                                \"sanitizers (the release-no-tests preset) installs plain ones.\")")
endif()
