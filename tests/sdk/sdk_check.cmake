# cmake -D BUILD_DIR=... -D SOURCE_DIR=... -D VERSION=... -D GENERATOR=...
#       -D WINE_RUN=... -P sdk_check.cmake
#
# The win32 build's install tree, used as another product would: installs
# the build into a fresh temporary prefix, configures and builds
# tests/sdk/caller against that prefix alone (the same toolchain file), and
# runs sdk_tests.exe under Wine, which checks the tree and runs the caller.
# These steps run here and not in sdk_tests.exe because a Windows program
# under Wine cannot wait for a Linux program. A step that fails before
# sdk_tests.exe leaves no report, which scripts/test.sh counts as a failure.
set(report ${BUILD_DIR}/test-results/sdk_tests.xml)
file(REMOVE ${report})

if(DEFINED ENV{TMPDIR})
  set(tmp_base $ENV{TMPDIR})
else()
  set(tmp_base /tmp)
endif()
string(RANDOM LENGTH 10 ALPHABET 0123456789abcdef tag)
set(tmp ${tmp_base}/nzept-sdk-${tag})
set(prefix ${tmp}/prefix)
set(caller ${tmp}/caller)
file(MAKE_DIRECTORY ${tmp})

function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    file(REMOVE_RECURSE ${tmp})
    message(FATAL_ERROR "${what} failed (${rc})")
  endif()
endfunction()

step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
step("configuring the caller" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/sdk/caller -B ${caller} -G ${GENERATOR}
     -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
     -DCMAKE_PREFIX_PATH=${prefix} -DNZ_SDK_VERSION=${VERSION})
step("building the caller" ${CMAKE_COMMAND} --build ${caller} --parallel 1)

set(ENV{NZT_SDK_PREFIX} ${prefix})
set(ENV{NZT_SDK_CALLER} ${caller})
# The report path is relative: under Wine, GoogleTest writes no report to a
# path that starts with '/'.
execute_process(COMMAND ${WINE_RUN} ${BUILD_DIR}/wineprefix ${BUILD_DIR}/sdk_tests.exe
                        --gtest_output=xml:test-results/sdk_tests.xml
                WORKING_DIRECTORY ${BUILD_DIR} RESULT_VARIABLE rc)
file(REMOVE_RECURSE ${tmp})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "sdk_tests failed (${rc})")
endif()
