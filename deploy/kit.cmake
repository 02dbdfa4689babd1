# kit.cmake - lays out the deployment kit of one system, run as
#
#   cmake -DSYSTEM=linux|windows -DPACKAGE=<folder> -DPROGRAM=<nzeptins.exe>
#         -DVERSION=<a.b.c.d> -DOUT=<folder> -P deploy/kit.cmake
#
# (the build's zept-kit target runs it with the build's program and the
# version of project()). PACKAGE holds the package's files but the
# installer, as the manifest names them; PROGRAM is the installer the build
# made. OUT receives
#
#   zept-kit-<system>/          the kit: the program, the package's files,
#                               the answer files, the wrapper (Windows: its
#                               probe and the engines' detection rules) and
#                               SHA256SUMS, which the wrapper checks before
#                               it runs anything
#   zept-kit-<system>.tar.gz    (Linux) or .zip (Windows): the same files,
#                               at the top of the archive, for the playbook
#
# The wrappers' and rules' file lists and names come from the installer's
# own manifest: src/setup/btsetup_manifest.inc for the files, btsetup.h
# and the registry store for the names. A new package file is added there.
cmake_minimum_required(VERSION 3.25)
get_filename_component(SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
foreach(arg SYSTEM PACKAGE PROGRAM VERSION OUT)
  if(NOT DEFINED ${arg} OR "${${arg}}" STREQUAL "")
    message(FATAL_ERROR "kit.cmake: -D${arg}=... is missing (see the head of ${CMAKE_CURRENT_LIST_FILE}; "
                        "the zept-kit target takes PACKAGE from the cache variable ZEPT_PACKAGE_DIR)")
  endif()
endforeach()
if(NOT SYSTEM MATCHES "^(linux|windows)$")
  message(FATAL_ERROR "kit.cmake: SYSTEM is linux or windows, not ${SYSTEM}")
endif()
if(NOT VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "kit.cmake: VERSION has four numbers (a.b.c.d), not ${VERSION}")
endif()

# ---- The manifest ----

set(ZEPT_VERSION ${VERSION})

# A string define of a C header: its text, C's "\\" as one "\".
function(c_define file name out)
  file(STRINGS "${file}" line REGEX "^#define ${name} \"")
  if(NOT line MATCHES "^#define ${name} \"([^\"]*)\"")
    message(FATAL_ERROR "kit.cmake: no #define ${name} \"...\" in ${file}")
  endif()
  string(REPLACE "\\\\" "\\" value "${CMAKE_MATCH_1}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

set(setup_h "${SOURCE_DIR}/src/setup/btsetup.h")
foreach(name SECTION SERVERTASKS ADDINS TASK_ITEM ADDIN_ITEM REG_SECTION REG_VALUE QSX_MODULE REMOVER LAST_LIBRARY)
  c_define("${setup_h}" BT_${name} ZEPT_${name})
endforeach()
# The registry store puts every key of the installer below this one.
c_define("${SOURCE_DIR}/src/plat/plat_reg.cpp" KC_REG_COMPONENTS components)
set(ZEPT_REG_KEY "${components}${ZEPT_REG_SECTION}")

set(manifest "${SOURCE_DIR}/src/setup/btsetup_manifest.inc")
file(STRINGS "${manifest}" rows REGEX "^BT_(PROGRAM|DATA)_FILE\\(")
set(ZEPT_PROGRAM_FILES "")  # as installed in the host program folder
set(ZEPT_DATA_FILES "")     # as installed in the data folder
set(ZEPT_PACKAGE_FILES "")  # as the package folder names them, the installer aside
set(ZEPT_INSTALLER "")
foreach(row IN LISTS rows)
  if(NOT row MATCHES "^BT_(PROGRAM|DATA)_FILE\\(\"([^\"]+)\", \"([^\"]+)\"\\)$")
    message(FATAL_ERROR "kit.cmake: a row of ${manifest} not read: ${row}")
  endif()
  set(kind ${CMAKE_MATCH_1})
  set(source ${CMAKE_MATCH_2})
  set(installed ${CMAKE_MATCH_3})
  list(APPEND ZEPT_${kind}_FILES ${installed})
  # The remover is the installer itself, installed under another name.
  if(installed STREQUAL ZEPT_REMOVER)
    set(ZEPT_INSTALLER ${source})
  else()
    list(APPEND ZEPT_PACKAGE_FILES ${source})
  endif()
endforeach()
if(ZEPT_INSTALLER STREQUAL "" OR NOT ZEPT_DATA_FILES)
  message(FATAL_ERROR "kit.cmake: ${manifest} names no row installed as ${ZEPT_REMOVER}, or no data file")
endif()

file(GLOB answers "${SOURCE_DIR}/scripts/unattended/*.txt")
list(SORT answers)
set(ZEPT_ANSWER_FILES "")
foreach(answer IN LISTS answers)
  get_filename_component(name "${answer}" NAME)
  list(APPEND ZEPT_ANSWER_FILES ${name})
endforeach()

# ---- The kit's folder ----

set(kit "${OUT}/zept-kit-${SYSTEM}")
foreach(name IN LISTS ZEPT_PACKAGE_FILES)
  if(NOT EXISTS "${PACKAGE}/${name}" OR IS_DIRECTORY "${PACKAGE}/${name}")
    message(FATAL_ERROR "kit.cmake: the package folder ${PACKAGE} lacks ${name}")
  endif()
endforeach()
file(REMOVE_RECURSE "${kit}")
file(MAKE_DIRECTORY "${kit}")

# Each list in its generated forms: words (sh, cmd), "a", "b" (JScript)
# and 'a', 'b' (PowerShell).
foreach(list PROGRAM_FILES DATA_FILES PACKAGE_FILES ANSWER_FILES)
  set(words "${ZEPT_${list}}")
  list(JOIN words " " ZEPT_${list}_WORDS)
  list(JOIN words "\", \"" js)
  set(ZEPT_${list}_JS "\"${js}\"")
  list(JOIN words "', '" ps)
  set(ZEPT_${list}_PS "'${ps}'")
endforeach()
string(REPLACE "\\" "/" ZEPT_REG_PATH "${ZEPT_REG_KEY}")    # the Linux store's folders
string(REPLACE "\\" "\\\\" ZEPT_REG_KEY_JS "${ZEPT_REG_KEY}")

if(SYSTEM STREQUAL linux)
  set(scripts zept-deploy.sh)
  set(newlines UNIX)
else()
  set(scripts zept-deploy.cmd zept-probe.js zept-detect.js zept-detect.ps1)
  set(newlines CRLF)
endif()
set(ZEPT_KIT_FILES ${ZEPT_INSTALLER} ${ZEPT_PACKAGE_FILES} ${ZEPT_ANSWER_FILES} ${scripts})
list(SORT ZEPT_KIT_FILES)
list(JOIN ZEPT_KIT_FILES " " ZEPT_KIT_FILES_WORDS)
list(LENGTH ZEPT_KIT_FILES ZEPT_KIT_FILES_COUNT)

# The JScript probe and rule share the one reading of the state.
configure_file("${CMAKE_CURRENT_LIST_DIR}/zept-state.js.in" "${OUT}/zept-state.js" @ONLY)
file(READ "${OUT}/zept-state.js" ZEPT_STATE_JS)
file(REMOVE "${OUT}/zept-state.js")
foreach(script IN LISTS scripts)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/${script}.in" "${kit}/${script}" @ONLY NEWLINE_STYLE ${newlines})
endforeach()
file(COPY_FILE "${PROGRAM}" "${kit}/${ZEPT_INSTALLER}")
foreach(name IN LISTS ZEPT_PACKAGE_FILES)
  file(COPY_FILE "${PACKAGE}/${name}" "${kit}/${name}")
endforeach()
foreach(answer IN LISTS answers)
  get_filename_component(name "${answer}" NAME)
  file(COPY_FILE "${answer}" "${kit}/${name}")
endforeach()

# Written by the owner alone, whatever the umask: the wrapper refuses a
# kit that others can write.
foreach(name IN LISTS ZEPT_KIT_FILES)
  if(name STREQUAL ZEPT_INSTALLER OR name STREQUAL "zept-deploy.sh")
    file(CHMOD "${kit}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                            WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${kit}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
file(CHMOD "${kit}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                               WORLD_EXECUTE)

# ---- SHA256SUMS, as sha256sum writes it, and the archive ----

set(sums "")
foreach(name IN LISTS ZEPT_KIT_FILES)
  file(SHA256 "${kit}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${kit}/SHA256SUMS" "${sums}")
file(CHMOD "${kit}/SHA256SUMS" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(SYSTEM STREQUAL linux)
  set(archive "${OUT}/zept-kit-linux.tar.gz")
  set(format gnutar)
  set(flags czf)
else()
  set(archive "${OUT}/zept-kit-windows.zip")
  set(format zip)
  set(flags cf)
endif()
file(REMOVE "${archive}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar ${flags} "${archive}" --format=${format} -- ${ZEPT_KIT_FILES} SHA256SUMS
                WORKING_DIRECTORY "${kit}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kit.cmake: the archive ${archive} could not be made (${status})")
endif()
message(STATUS "The ${SYSTEM} kit of ZEPT ${VERSION}: ${kit}, ${archive}")
