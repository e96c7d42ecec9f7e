# One step of the packaging test (cmake -P), chosen by STEP:
#   install    install the build tree into WORK_DIR/prefix; only public
#              headers are installed
#   cmake      configure, build and run the consumer with find_package(VelaASR)
#              (static, and shared when VelaASR::vela-asr exists)
#   pkgconfig  compile, link and run the consumer with the flags of
#              `pkg-config vela-asr-static` only, and build the example
#              EXAMPLE_SOURCE the same way (with the flags of the audio file
#              libraries it uses besides the SDK)
#   pkgconfig-shared  the consumer with the flags of `pkg-config vela-asr` only,
#              which must link the shared library
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        string(JOIN " " cmd ${ARGN})
        message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

# pkg_config(ARGS...): run_output = pkg-config's answer as a list of flags.
function(pkg_config)
    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig ${PKG_CONFIG} ${ARGN})
    separate_arguments(flags UNIX_COMMAND "${run_output}")
    set(run_output "${flags}" PARENT_SCOPE)
endfunction()

# needs_shared(BINARY YES|NO): whether BINARY must need libvela-asr.so.1.
function(needs_shared binary expected)
    run(${READELF} -d ${binary})
    string(FIND "${run_output}" "[libvela-asr.so." at)
    set(needed YES)
    if(at EQUAL -1)
        set(needed NO)
    endif()
    if(NOT needed STREQUAL expected)
        message(FATAL_ERROR "${binary}: needs libvela-asr.so: ${expected} expected\n${run_output}")
    endif()
endfunction()

separate_arguments(san UNIX_COMMAND "${SANITIZE_FLAGS}")
set(version_flag -DVELA_EXPECTED_VERSION="${VERSION}")

if(STEP STREQUAL "install")
    file(REMOVE_RECURSE ${WORK_DIR})
    run(${CMAKE_COMMAND} --install ${VELA_BUILD_DIR} --prefix ${prefix})
    foreach(f lib/libspeechasr.a lib/libspeechutil.a lib/libvadcodec.a lib/pkgconfig/vela-asr.pc
              lib/pkgconfig/vela-asr-static.pc lib/cmake/VelaASR/VelaASRConfig.cmake
              lib/libvela-asr.so.1 include/vela/asr.h include/vela/asr.hpp
              lib/python3/dist-packages/vela_asr/__init__.py
              include/vela/speech-asr-sdk/VelaASRMessage.h bin/asr-stream)
        if(NOT EXISTS ${prefix}/${f})
            message(FATAL_ERROR "not installed: ${f}")
        endif()
    endforeach()
    foreach(f include/vela/speech-util/glog2speech/glog2speech.h include/vela/speech-util/curlreq/curlreq.h
              include/vela/vad/MFE.h include/vela/speech-asr-sdk/AudioTask.h)
        if(EXISTS ${prefix}/${f})
            message(FATAL_ERROR "internal header installed: ${f}")
        endif()
    endforeach()

elseif(STEP STREQUAL "cmake")
    set(build ${WORK_DIR}/cmake-build)
    file(REMOVE_RECURSE ${build} ${WORK_DIR}/logs-cmake)
    file(MAKE_DIRECTORY ${WORK_DIR}/logs-cmake)
    run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
        -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${SANITIZE_FLAGS}"
        "-DCMAKE_EXE_LINKER_FLAGS=${SANITIZE_FLAGS}")
    run(${CMAKE_COMMAND} --build ${build})
    run(${build}/consumer ${WORK_DIR}/logs-cmake)
    needs_shared(${build}/consumer NO)
    if(EXISTS ${build}/consumer_shared)
        needs_shared(${build}/consumer_shared YES)
        file(REMOVE_RECURSE ${WORK_DIR}/logs-cmake)
        file(MAKE_DIRECTORY ${WORK_DIR}/logs-cmake)
        run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${build}/consumer_shared ${WORK_DIR}/logs-cmake)
    endif()

elseif(STEP STREQUAL "pkgconfig")
    set(build ${WORK_DIR}/pc-build)
    file(REMOVE_RECURSE ${build} ${WORK_DIR}/logs-pc)
    file(MAKE_DIRECTORY ${build} ${WORK_DIR}/logs-pc)
    pkg_config(--cflags --libs vela-asr-static)
    set(static_flags ${run_output})
    run(${CXX} -std=c++17 ${san} ${CONSUMER_DIR}/main.cpp ${static_flags} -o ${build}/consumer)
    needs_shared(${build}/consumer NO)
    run(${build}/consumer ${WORK_DIR}/logs-pc)

    # The example uses the shared library's C++ interface.
    pkg_config(--cflags --libs vela-asr sndfile samplerate)
    run(${CXX} -std=c++17 ${san} ${EXAMPLE_SOURCE} ${run_output} -Wl,-rpath,${prefix}/lib -o ${build}/asr-stream)
    run(${build}/asr-stream --help)

elseif(STEP STREQUAL "pkgconfig-shared")
    set(build ${WORK_DIR}/pc-shared-build)
    file(REMOVE_RECURSE ${build} ${WORK_DIR}/logs-pc-shared)
    file(MAKE_DIRECTORY ${build} ${WORK_DIR}/logs-pc-shared)
    pkg_config(--cflags --libs vela-asr)
    run(${CXX} -std=c++17 ${san} ${version_flag} ${CONSUMER_DIR}/main.cpp ${run_output} -o ${build}/consumer)
    needs_shared(${build}/consumer YES)
    pkg_config(--variable=libdir vela-asr)
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${run_output} ${build}/consumer ${WORK_DIR}/logs-pc-shared)

else()
    message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
