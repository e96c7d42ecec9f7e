# The three static libraries. Sources are collected per folder so that each
# subsystem only has to drop its files into its own directory.

function(vela_collect out)
    set(files)
    foreach(dir IN LISTS ARGN)
        file(GLOB_RECURSE found CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/${dir}/*.cpp ${PROJECT_SOURCE_DIR}/${dir}/*.c)
        list(APPEND files ${found})
    endforeach()
    if(NOT files)
        # A library whose folders are still empty builds from an empty unit.
        set(empty ${PROJECT_BINARY_DIR}/vela_empty_${out}.cpp)
        file(WRITE ${empty} "// no sources yet\n")
        set(files ${empty})
    endif()
    set(${out} ${files} PARENT_SCOPE)
endfunction()

function(vela_library target)
    target_include_directories(${target} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<INSTALL_INTERFACE:include/vela>)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${target})
endfunction()

# vela_wire: the protocol's constants, header-only (wire/vela_wire.h), for the
# SDK, the server, the tools and the front end's stream header.
add_library(vela_wire INTERFACE)
target_include_directories(vela_wire INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
# The installed static libraries need nothing of it: they link it as $<BUILD_INTERFACE:...>.

# libvadcodec: signal processing only (front end, BV32, audio bitmap).
vela_collect(VADCODEC_SOURCES vad)
add_library(vadcodec STATIC ${VADCODEC_SOURCES})
vela_library(vadcodec)
target_link_libraries(vadcodec PUBLIC Threads::Threads m PRIVATE $<BUILD_INTERFACE:vela_wire>)
# The front end's float arithmetic must not be contracted into fused
# multiply-adds when a target with FMA is chosen: results matter at 1e-7.
target_compile_options(vadcodec PRIVATE -ffp-contract=off)

# libspeechutil: logging bridge, concurrency, text and downsampling utilities.
vela_collect(SPEECHUTIL_SOURCES speech-util/glog2speech speech-util/utilcxx)
add_library(speechutil STATIC ${SPEECHUTIL_SOURCES})
vela_library(speechutil)
target_link_libraries(speechutil PUBLIC glog::glog Threads::Threads)

# libspeechasr: the SDK proper with its HTTP client.
vela_collect(SPEECHASR_SOURCES speech-asr-sdk speech-util/curlreq)
# speech-asr-sdk/api/ is the shared library's own layer (its own CMakeLists).
list(FILTER SPEECHASR_SOURCES EXCLUDE REGEX "/speech-asr-sdk/api/")
set(SPEECHASR_PRIVATE_UNIT ${PROJECT_SOURCE_DIR}/speech-asr-sdk/VelaASRPrivate.cpp)
list(REMOVE_ITEM SPEECHASR_SOURCES ${SPEECHASR_PRIVATE_UNIT})

function(vela_sdk_library target)
    add_library(${target} STATIC ${ARGN})
    vela_library(${target})
    target_link_libraries(${target} PUBLIC speechutil vadcodec CURL::libcurl JsonCpp::JsonCpp
                                           Boost::headers ZLIB::ZLIB Threads::Threads
                                    PRIVATE $<BUILD_INTERFACE:vela_wire>)
    target_compile_definitions(${target} PRIVATE
        VELA_ASR_SERVER_URL_DEFAULT="${VELA_ASR_SERVER_URL}")
endfunction()

vela_sdk_library(speechasr ${SPEECHASR_SOURCES})

# The second variant of the SDK: the task exchange of VelaASRPrivate.cpp in
# place of AudioTask.cpp. A program links speechasr or speechasr_private, never both.
set(SPEECHASR_PRIVATE_SOURCES ${SPEECHASR_SOURCES})
list(REMOVE_ITEM SPEECHASR_PRIVATE_SOURCES ${PROJECT_SOURCE_DIR}/speech-asr-sdk/AudioTask.cpp)
vela_sdk_library(speechasr_private ${SPEECHASR_PRIVATE_SOURCES} ${SPEECHASR_PRIVATE_UNIT})
