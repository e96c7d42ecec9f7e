# Installation: libraries under lib/, headers under include/vela/<source path>,
# the CMake package VelaASR and the pkg-config file vela-asr.pc.
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "Object code libraries (lib)")
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

set(VELA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelaASR)
install(EXPORT VelaASRTargets NAMESPACE VelaASR:: DESTINATION ${VELA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelaASRConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake
    INSTALL_DESTINATION ${VELA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake ${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
        DESTINATION ${VELA_CMAKE_DIR})

# The .pc file finds its prefix relative to its own folder, so the installed
# tree can be moved (or installed with --prefix) and still be found.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(VELA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
    set(VELA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH VELA_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
    set(VELA_PC_PREFIX "\${pcfiledir}/${VELA_PC_UP}")
    set(VELA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/vela-asr.pc.in ${PROJECT_BINARY_DIR}/vela-asr.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vela-asr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Example programs.
if(TARGET asr-stream)
    install(TARGETS asr-stream RUNTIME DESTINATION bin)
endif()
