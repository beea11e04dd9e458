# Writes the packer's manifest (tools/packer/manifest.h) of one single-file
# program at build time, from the files themselves: the program under the
# role's name, then every file of the package tree, the folder that the build
# fills with what lies beside the program and copies whole into the run
# directory. Nothing here names those files, so the package cannot drift from
# the run directory.
#
#   cmake -DPROGRAM=<file> -DNAME=<entry name> -DARCHIVE=<directory name>
#         -DPACKAGE_DIR=<package tree> [-DLEAVE_OUT=<relative paths>]
#         -DOUTPUT=<manifest> -P package_manifest.cmake
#
# The records: one LZMA archive (its directory names the cache folder, and the
# program's name in it decides its role), a seal, so only what that archive
# wrote may be started, and the start of the program after the last record.
cmake_minimum_required(VERSION 3.25)
foreach(var PROGRAM NAME ARCHIVE PACKAGE_DIR OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package_manifest.cmake: ${var} is not set")
  endif()
endforeach()

# One word of the manifest: quoted, with \ and " escaped.
function(manifest_word out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

manifest_word(archive "${ARCHIVE}")
manifest_word(name "${NAME}")
manifest_word(program "${PROGRAM}")
set(line "lzma ${archive} ${name} ${program}")

# Trees packed into the archive, each as "<folder in the archive>=<directory>"
# (an empty folder: the archive's top). The plugin directories join here once
# the build makes them, each under its own folder.
set(trees "=${PACKAGE_DIR}")
foreach(tree IN LISTS trees)
  string(FIND "${tree}" "=" eq)
  string(SUBSTRING "${tree}" 0 ${eq} folder)
  math(EXPR from "${eq} + 1")
  string(SUBSTRING "${tree}" ${from} -1 dir)
  if(NOT IS_DIRECTORY "${dir}")
    message(FATAL_ERROR "package_manifest.cmake: no directory ${dir}")
  endif()
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${dir}" "${dir}/*")
  list(SORT files)
  foreach(file IN LISTS files)
    if(folder)
      set(entry "${folder}/${file}")
    else()
      set(entry "${file}")
    endif()
    if(entry IN_LIST LEAVE_OUT OR entry STREQUAL NAME)
      continue()
    endif()
    manifest_word(e "${entry}")
    manifest_word(s "${dir}/${file}")
    string(APPEND line " ${e} ${s}")
  endforeach()
endforeach()

file(WRITE "${OUTPUT}.part" "# Written by the build (tovan/package_manifest.cmake); do not edit.\n${line}\nseal\nrun ${name}\nend\n")
file(RENAME "${OUTPUT}.part" "${OUTPUT}")
