# Debian packages, one per install component (cmake/VelaInstall.cmake), made
# by `cpack -G DEB` (scripts/package.sh). They install under /usr; Depends of
# packages with programs or libraries are computed by dpkg-shlibdeps.
set(VELA_DEB_RUNTIME libvela-asr${PROJECT_VERSION_MAJOR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vela-asr)
set(CPACK_PACKAGE_VENDOR "Vela ASR developers")
set(VELA_DEB_MAINTAINER "Vela ASR developers <vela-asr@example.org>" CACHE STRING
    "Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${VELA_DEB_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL dev server)
if(VELA_HAS_SHARED)
    list(APPEND CPACK_COMPONENTS_ALL runtime)
    if(EXISTS ${PROJECT_SOURCE_DIR}/python/vela_asr)
        list(APPEND CPACK_COMPONENTS_ALL python)
    endif()
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Binaries that link the shared library find it in the staging tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(dep "(= ${PROJECT_VERSION}-1)")
set(VELA_DEB_ABOUT "The SDK streams 16-bit PCM through a voice-activity front end and optional
BV32 compression to a recognition server over HTTP and reports its results.
")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${VELA_DEB_RUNTIME})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig runs by trigger; the postinst and postrm CPack adds call it as well.
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Client-side speech recognition SDK - shared library
${VELA_DEB_ABOUT}This package holds the shared library with its C and C++ interface.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvela-asr-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE_DEPENDS ON)
# The static libraries need the development files of what they link; the
# public headers include Boost's.
set(VELA_DEB_DEV_DEPENDS
    "libcurl4-openssl-dev, libjsoncpp-dev, libgoogle-glog-dev, zlib1g-dev, libboost-dev")
if(TARGET vela-asr)
    string(PREPEND VELA_DEB_DEV_DEPENDS "${VELA_DEB_RUNTIME} ${dep}, ")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${VELA_DEB_DEV_DEPENDS}")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Client-side speech recognition SDK - development files
${VELA_DEB_ABOUT}This package holds the public headers, the static libraries, the CMake
package VelaASR and the pkg-config files vela-asr and vela-asr-static.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME vela-asr-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION sound)
# asr-stream links the shared library, which dpkg-shlibdeps finds in the
# build tree and so does not name.
if(TARGET vela-asr)
    set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "${VELA_DEB_RUNTIME} ${dep}")
endif()
set(CPACK_DEBIAN_SERVER_PACKAGE_RECOMMENDS "pocketsphinx-en-us")
set(CPACK_DEBIAN_SERVER_PACKAGE_SUGGESTS "nginx-light | nginx")
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Reference speech recognition server and audio tools
asr-server answers the SDK's protocol over HTTP(S) and recognises with
PocketSphinx; bv32enc, bv32dec and vadscan encode, decode and scan audio,
asr-stream streams an audio file through the SDK. With a systemd unit, an
nginx template and a script that runs several servers behind nginx.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-vela-asr)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, ${VELA_DEB_RUNTIME} ${dep}")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Client-side speech recognition SDK - Python 3 module
${VELA_DEB_ABOUT}This package holds the module vela_asr over the shared library.")

# Debian wants a copyright file and a changelog in every package's doc folder.
# The changelog's date is the configure time (SOURCE_DATE_EPOCH when set).
string(TIMESTAMP VELA_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(doc ${PROJECT_BINARY_DIR}/debian-doc/${package})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-copyright.in ${doc}/copyright @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/debian-changelog.in ${doc}/changelog @ONLY)
    execute_process(COMMAND gzip -9nc ${doc}/changelog OUTPUT_FILE ${doc}/changelog.Debian.gz
                    COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${doc}/copyright ${doc}/changelog.Debian.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
