# Installation, in four components that become the Debian packages of
# cmake/VelaPackaging.cmake:
#   runtime  the shared library libvela-asr.so.1 (when the target vela-asr exists)
#   dev      public headers under include/vela/<source path>, the static
#            libraries, the shared library's link name, the CMake package
#            VelaASR and the pkg-config files vela-asr and vela-asr-static
#   server   the recognition server, the codec and voice tools, asr-stream, the
#            nginx template with its cluster script, and a systemd unit
#   python   the module vela_asr (when python/vela_asr and the shared library exist)
set(CMAKE_INSTALL_LIBDIR lib CACHE PATH "Object code libraries (lib)")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELA_INCLUDE_DIR include/vela)
set(VELA_HAS_SHARED OFF)
if(TARGET vela-asr)
    set(VELA_HAS_SHARED ON)
endif()

# Static libraries (dev) and, when built, the shared library (runtime, its link
# name in dev).
install(TARGETS speechasr speechutil vadcodec
        EXPORT VelaASRTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        INCLUDES DESTINATION ${VELA_INCLUDE_DIR} include)
if(VELA_HAS_SHARED)
    install(TARGETS vela-asr
            EXPORT VelaASRTargets
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
            PUBLIC_HEADER DESTINATION ${VELA_INCLUDE_DIR}/vela COMPONENT dev
            INCLUDES DESTINATION ${VELA_INCLUDE_DIR} include)
endif()

# Public headers only: the SDK's API header and what it includes, plus the C
# and C++ headers of the shared library. Each keeps its source path, so
# <speech-asr-sdk/...> resolves against include/vela, <vela/asr.h> against include.
set(VELA_PUBLIC_HEADERS
    speech-asr-sdk/VelaASRLinuxSDK.h
    speech-asr-sdk/VelaASRMessage.h
    speech-util/utilcxx/mutex/atomic.h
    speech-util/utilcxx/mutex/make_core.h
    speech-util/utilcxx/mutex/recmutex.h)
if(VELA_HAS_SHARED)
    # <prefix>/include/vela/asr.h: found as <vela/asr.h> from <prefix>/include.
    install(FILES ${PROJECT_SOURCE_DIR}/speech-asr-sdk/api/vela/asr.h
                  ${PROJECT_SOURCE_DIR}/speech-asr-sdk/api/vela/asr.hpp
            DESTINATION include/vela COMPONENT dev)
endif()
foreach(header IN LISTS VELA_PUBLIC_HEADERS)
    get_filename_component(dir ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${VELA_INCLUDE_DIR}/${dir} COMPONENT dev)
endforeach()

# CMake package: VelaASR::speechasr ... and VelaASR::vela-asr.
set(VELA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelaASR)
install(EXPORT VelaASRTargets NAMESPACE VelaASR:: DESTINATION ${VELA_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelaASRConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake
    INSTALL_DESTINATION ${VELA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelaASRConfig.cmake ${PROJECT_BINARY_DIR}/VelaASRConfigVersion.cmake
        DESTINATION ${VELA_CMAKE_DIR} COMPONENT dev)

# pkg-config: vela-asr links the shared library when it is built, the static
# libraries otherwise; vela-asr-static always links the static libraries. The
# static form names its dependencies under Requires, not Requires.private:
# `--static` would add the private libraries of libcurl (Kerberos, LDAP, ...),
# whose development files few systems have, while the archives only need the
# shared libcurl, jsoncpp, glog and zlib. Both files find their prefix
# relative to their own folder, so the installed tree can be moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(VELA_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
    set(VELA_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH VELA_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
    set(VELA_PC_PREFIX "\${pcfiledir}/${VELA_PC_UP}")
    set(VELA_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
# vela_pc(FILE DESCRIPTION LIBS REQUIRES) writes one .pc file.
function(vela_pc file description libs requires)
    get_filename_component(VELA_PC_NAME ${file} NAME_WE)
    set(VELA_PC_DESCRIPTION ${description})
    set(VELA_PC_LIBS ${libs})
    set(VELA_PC_REQUIRES ${requires})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/vela-asr.pc.in ${PROJECT_BINARY_DIR}/${file} @ONLY)
endfunction()
set(static_libs "-lspeechasr -lspeechutil -lvadcodec -pthread -lm")
set(static_requires "libcurl jsoncpp libglog zlib")
if(VELA_HAS_SHARED)
    vela_pc(vela-asr.pc "shared library" "-lvela-asr" "")
else()
    vela_pc(vela-asr.pc "static libraries" "${static_libs}" "${static_requires}")
endif()
vela_pc(vela-asr-static.pc "static libraries" "${static_libs}" "${static_requires}")
install(FILES ${PROJECT_BINARY_DIR}/vela-asr.pc ${PROJECT_BINARY_DIR}/vela-asr-static.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Server and tools.
set(VELA_DATA_DIR ${CMAKE_INSTALL_DATADIR}/vela-asr)
foreach(program IN ITEMS asr-server bv32enc bv32dec vadscan asr-stream)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
    endif()
endforeach()
# cluster.sh finds render.sh as ../deploy/nginx/render.sh, as in the repository.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/nginx/render.sh
        DESTINATION ${VELA_DATA_DIR}/deploy/nginx COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/nginx/asr-cluster.conf.in
        DESTINATION ${VELA_DATA_DIR}/deploy/nginx COMPONENT server)
# render.sh takes the error bodies' numbers and texts from ../../wire/vela_wire.h.
install(FILES ${PROJECT_SOURCE_DIR}/wire/vela_wire.h DESTINATION ${VELA_DATA_DIR}/wire COMPONENT server)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/cluster.sh
        DESTINATION ${VELA_DATA_DIR}/scripts COMPONENT server)
# The shell library cluster.sh sources, beside it as in the repository.
install(FILES ${PROJECT_SOURCE_DIR}/scripts/lib/vela.sh
        DESTINATION ${VELA_DATA_DIR}/scripts/lib COMPONENT server)
# The unit is the package's: it runs /usr/bin/asr-server.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/systemd/vela-asr-server.service
        DESTINATION lib/systemd/system COMPONENT server)

# Python module (pure Python over the shared library's C interface).
if(VELA_HAS_SHARED AND EXISTS ${PROJECT_SOURCE_DIR}/python/vela_asr)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/vela_asr
            DESTINATION lib/python3/dist-packages COMPONENT python
            PATTERN __pycache__ EXCLUDE PATTERN "*.pyc" EXCLUDE)
endif()
