# How the i386 build's tests run: natively where this kernel runs i386
# programs, through a user-mode emulator where it refuses them (many cloud
# and micro-VM kernels do, although their configuration claims 32-bit
# emulation, so only running a program tells).
#
# HV_I386_EMULATOR: empty decides by running a probe program; OFF runs the
# tests natively; anything else names the emulator to run them through.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR (for test discovery and ctest) and
# HV_I386_TEST_EMULATOR (for the end-to-end scripts), empty when native.
set(HV_I386_EMULATOR "" CACHE STRING
    "Run the i386 tests through this emulator (OFF: natively; empty: natively where the kernel allows)")

function(hv_kernel_runs_i386 result)
  unset(HV_I386_PROBE_RUN CACHE)
  try_run(HV_I386_PROBE_RUN HV_I386_PROBE_COMPILED
    ${CMAKE_BINARY_DIR}/i386_probe ${PROJECT_SOURCE_DIR}/cmake/runs_here.cc
    RUN_OUTPUT_VARIABLE output)
  if(NOT HV_I386_PROBE_COMPILED)
    message(FATAL_ERROR "Cannot compile an i386 program: install g++-multilib (scripts/install-deps.sh does).")
  endif()
  if(HV_I386_PROBE_RUN EQUAL 42 AND output MATCHES "hashverify probe ran")
    set(${result} TRUE PARENT_SCOPE)
  else()
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()

set(HV_I386_TEST_EMULATOR "")
if(HV_I386_EMULATOR STREQUAL "")
  hv_kernel_runs_i386(native)
  if(NOT native)
    find_program(HV_QEMU_I386 qemu-i386 NO_CACHE)
    if(NOT HV_QEMU_I386)
      message(FATAL_ERROR "This kernel does not run i386 programs, and the tests need to run them: "
                          "install the package qemu-user (scripts/install-deps.sh does), "
                          "or configure with -DHV_BUILD_TESTS=OFF to build the program alone.")
    endif()
    set(HV_I386_TEST_EMULATOR ${HV_QEMU_I386})
  endif()
elseif(HV_I386_EMULATOR)
  find_program(HV_I386_EMULATOR_PATH ${HV_I386_EMULATOR} NO_CACHE)
  if(NOT HV_I386_EMULATOR_PATH)
    message(FATAL_ERROR "HV_I386_EMULATOR: ${HV_I386_EMULATOR} not found (the package qemu-user has qemu-i386).")
  endif()
  set(HV_I386_TEST_EMULATOR ${HV_I386_EMULATOR_PATH})
endif()

if(HV_I386_TEST_EMULATOR)
  message(STATUS "The i386 tests run through ${HV_I386_TEST_EMULATOR}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HV_I386_TEST_EMULATOR})
else()
  message(STATUS "The i386 tests run natively")
endif()
# For scripts/test.sh to say how the suite ran.
set(HV_I386_TESTS_RUN_BY "${HV_I386_TEST_EMULATOR}" CACHE INTERNAL "")
