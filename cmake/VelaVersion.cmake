# The version lives in one place, project(VelaASR VERSION ...). Programs and
# libraries that report it link the interface library vela_version and
# include "vela_version.h", generated here into the build tree.
set(VELA_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${PROJECT_SOURCE_DIR}/cmake/vela_version.h.in ${VELA_GENERATED_DIR}/vela_version.h @ONLY)
add_library(vela_version INTERFACE)
target_include_directories(vela_version INTERFACE $<BUILD_INTERFACE:${VELA_GENERATED_DIR}>)
