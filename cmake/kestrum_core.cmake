# The numeric core (numeric kernels, estimation, margins) and the compiler
# settings every native target of the project shares. Included by the
# top-level CMakeLists.txt and by tests/native, which builds the core without
# Python (for other architectures and compilers).

set(KESTRUM_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/..")

option(KESTRUM_PORTABLE "Compile only the portable kernels (no libmvec, no AVX2/AVX-512 paths)" OFF)

# kestrum_compile_options(TARGET): visibility, warnings, and no contraction of
# a * b + c into a fused multiply-add, so that the results do not depend on
# the processor or the compiler.
function(kestrum_compile_options target)
  # Only the module's init function leaves the library: everything else is hidden.
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -fno-math-errno -ffp-contract=off)
  elseif(MSVC)
    # MSVC contracts under /fp:precise only where /arch:AVX2 gives it FMA
    # instructions (and from 2022 on only under /fp:contract): neither is set.
    target_compile_options(${target} PRIVATE /W4 /fp:precise)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")  # clang-cl contracts under /fp:precise
      target_compile_options(${target} PRIVATE /clang:-ffp-contract=off /clang:-fno-math-errno)
    endif()
  endif()
endfunction()

file(GLOB_RECURSE KESTRUM_CORE_SOURCES CONFIGURE_DEPENDS
  "${KESTRUM_SOURCE_DIR}/src/numeric/*.cpp"
  "${KESTRUM_SOURCE_DIR}/src/estimation/*.cpp"
  "${KESTRUM_SOURCE_DIR}/src/margins/*.cpp")
add_library(kestrum_core STATIC ${KESTRUM_CORE_SOURCES})
target_include_directories(kestrum_core PUBLIC "${KESTRUM_SOURCE_DIR}/src")
# Threads: the demeaning of fixed effects runs its columns and row blocks on the machine's cores.
find_package(Threads REQUIRED)
target_link_libraries(kestrum_core PUBLIC ${CMAKE_DL_LIBS} Threads::Threads)
set_target_properties(kestrum_core PROPERTIES POSITION_INDEPENDENT_CODE ON)
if(KESTRUM_PORTABLE)
  target_compile_definitions(kestrum_core PUBLIC KESTRUM_PORTABLE_KERNELS)
endif()
