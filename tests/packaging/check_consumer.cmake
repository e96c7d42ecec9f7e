# One step of the packaging test (cmake -P), chosen by STEP:
#   install    install the build tree into WORK_DIR/prefix
#   cmake      configure, build and run the consumer with find_package(VelaASR)
#   pkgconfig  compile, link and run the consumer with pkg-config's flags only,
#              and build the example EXAMPLE_SOURCE the same way (with the
#              flags of the audio file libraries it uses besides the SDK)
set(prefix ${WORK_DIR}/prefix)

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        string(JOIN " " cmd ${ARGN})
        message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

separate_arguments(san UNIX_COMMAND "${SANITIZE_FLAGS}")

if(STEP STREQUAL "install")
    file(REMOVE_RECURSE ${WORK_DIR})
    run(${CMAKE_COMMAND} --install ${VELA_BUILD_DIR} --prefix ${prefix})
    foreach(f lib/libspeechasr.a lib/libspeechutil.a lib/libvadcodec.a lib/pkgconfig/vela-asr.pc
              lib/libvela-asr.so.1 include/vela/asr.h include/vela/asr.hpp
              lib/python3/dist-packages/vela_asr/__init__.py
              lib/cmake/VelaASR/VelaASRConfig.cmake include/vela/speech-asr-sdk/VelaASRMessage.h
              include/vela/speech-util/glog2speech/glog2speech.h bin/asr-stream)
        if(NOT EXISTS ${prefix}/${f})
            message(FATAL_ERROR "not installed: ${f}")
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

elseif(STEP STREQUAL "pkgconfig")
    set(build ${WORK_DIR}/pc-build)
    file(REMOVE_RECURSE ${build} ${WORK_DIR}/logs-pc)
    file(MAKE_DIRECTORY ${build} ${WORK_DIR}/logs-pc)
    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
        ${PKG_CONFIG} --cflags --libs vela-asr)
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    run(${CXX} -std=c++17 ${san} ${CONSUMER_DIR}/main.cpp ${pc_flags} -o ${build}/consumer)
    run(${build}/consumer ${WORK_DIR}/logs-pc)

    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
        ${PKG_CONFIG} --cflags --libs vela-asr sndfile samplerate)
    separate_arguments(example_flags UNIX_COMMAND "${run_output}")
    # The example uses the shared library's C++ interface.
    run(${CXX} -std=c++17 ${san} ${EXAMPLE_SOURCE} ${example_flags} -L${prefix}/lib -lvela-asr
        -Wl,-rpath,${prefix}/lib -o ${build}/asr-stream)
    run(${build}/asr-stream --help)

else()
    message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
