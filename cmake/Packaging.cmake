# The manual page of the command-line program and the Debian package of both programs.
#   cmake --build build && (cd build && cpack -G DEB)

set(_man ${CMAKE_BINARY_DIR}/man/brivo-recovery-cli.1)
add_custom_command(
  OUTPUT ${_man}.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:brivo-recovery-cli> -DOUT=${_man}
          -DVERSION=${PROJECT_VERSION} -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
  COMMAND gzip -9nf ${_man}
  DEPENDS brivo-recovery-cli ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
  COMMENT "Manual page of brivo-recovery-cli from its --help"
  VERBATIM)
add_custom_target(brivo-man ALL DEPENDS ${_man}.gz)
install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME brivo-file-recovery)
set(CPACK_PACKAGE_VENDOR "Brivo File Recovery")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Find deleted files on disks and disk images and recover them")
set(CPACK_PACKAGE_DESCRIPTION
    "Scans NTFS and FAT volumes with its own readers, and every other file system the\n"
    "installed engine tools read, on disks, partitions and disk images (raw, E01, VHD,\n"
    "VHDX, VMDK, QCOW2), and copies the deleted files you choose into a folder.\n"
    "Provides the window (brivo-recovery) and the command line (brivo-recovery-cli).")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "Brivo File Recovery <support@brivo-file-recovery.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The engine tools run as child programs; the container formats are read through the
# image libraries; hashes come from libcrypto, checksums (and the content search's deflate
# checks) from zlib, the decoding that proves a found JPEG whole from libjpeg; the window
# needs Qt 6 and its platform plugins. CLI11 and nlohmann-json are header-only: nothing at
# run time.
set(_deps "libc6, libstdc++6, sleuthkit, libewf2, libvhdi1, libvmdk1, libqcow1, libssl3, zlib1g, libjpeg62-turbo")
if(BRIVO_BUILD_APP)
  string(APPEND _deps ", libqt6core6, libqt6gui6, libqt6widgets6, libqt6network6, qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_deps}")
include(CPack)
