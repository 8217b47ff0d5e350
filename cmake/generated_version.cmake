# Writes build/generated/version.h with the version constants of the runtime
# core (namespace constants) and of the service (namespace kavo::constants).
set(SVEL_CORE_GIT_VERSION "0.1.0")
set(SVEL_CORE_GIT_SUBVERSION "144")
set(SVEL_CORE_LIBRARY_NAME "core")
set(SVEL_GIT_VERSION "2.6.0")
set(SVEL_GIT_SUBVERSION "0")
set(SVEL_PROJECT_NAME "svel")
set(SVEL_SOURCE_DIRECTORY "${CMAKE_SOURCE_DIR}")
string(REGEX REPLACE "/+$" "" SVEL_SOURCE_DIRECTORY "${SVEL_SOURCE_DIRECTORY}")

set(SVEL_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${SVEL_GENERATED_DIR}/version.h @ONLY)

add_library(generated_version INTERFACE)
target_include_directories(generated_version INTERFACE ${CMAKE_BINARY_DIR})
