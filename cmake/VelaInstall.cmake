# Installation: libraries, headers under include/vela/<source path>, the CMake
# package VelaASR and the pkg-config file vela-asr.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS speechasr speechutil vadcodec
        EXPORT VelaASRTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION include/vela)

foreach(dir IN ITEMS speech-asr-sdk speech-util vad)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir} DESTINATION include/vela
            FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
endforeach()

install(EXPORT VelaASRTargets NAMESPACE VelaASR:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelaASR)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelaASRConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelaASR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake ${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VelaASR)

configure_file(${PROJECT_SOURCE_DIR}/cmake/vela-asr.pc.in ${PROJECT_BINARY_DIR}/vela-asr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vela-asr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
