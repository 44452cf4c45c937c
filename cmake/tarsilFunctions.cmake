# SPDX-License-Identifier: Apache-2.0
# tarsil_link and tarsil_library: custom commands that run the imported
# programs of find_package(tarsil) on absolute paths, so that a firmware
# build links from any directory and relinks exactly when an input changed.
include_guard(GLOBAL)

if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "tarsil_link needs CMake 3.20 or later (dependency files for every generator)")
endif()

# SOURCE_DATE_EPOCH of the configure step is kept in the cache as
# TARSIL_SOURCE_DATE_EPOCH and given to every link and library, so that the
# build is reproducible whatever environment runs it, and a configure step
# that the build itself starts keeps it. Empty, the build's own environment
# reaches the programs unchanged.
set(TARSIL_SOURCE_DATE_EPOCH "" CACHE STRING "SOURCE_DATE_EPOCH for tarsil_link and tarsil_library")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set_property(CACHE TARSIL_SOURCE_DATE_EPOCH PROPERTY VALUE "$ENV{SOURCE_DATE_EPOCH}")
endif()

# The command prefix that runs `program`, with SOURCE_DATE_EPOCH when one is
# fixed.
function(_tarsil_command out program)
  set(command)
  if(NOT "${TARSIL_SOURCE_DATE_EPOCH}" STREQUAL "")
    list(APPEND command "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${TARSIL_SOURCE_DATE_EPOCH}")
  endif()
  list(APPEND command "$<TARGET_FILE:${program}>")
  set(${out} "${command}" PARENT_SCOPE)
endfunction()

# Absolute names of `files`: a relative name is the source directory's file
# when it exists there, else the build directory's (an output of a custom
# command). A tarsil_library target stands for its library.
function(_tarsil_absolute out targets_out)
  set(paths)
  set(targets)
  foreach(file IN LISTS ARGN)
    if(TARGET "${file}")
      get_target_property(library "${file}" TARSIL_LIBRARY_FILE)
      if(NOT library)
        message(FATAL_ERROR "tarsil: target '${file}' is not a tarsil_library")
      endif()
      list(APPEND paths "${library}")
      list(APPEND targets "${file}")
    elseif(IS_ABSOLUTE "${file}")
      list(APPEND paths "${file}")
    elseif(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
      list(APPEND paths "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    else()
      list(APPEND paths "${CMAKE_CURRENT_BINARY_DIR}/${file}")
    endif()
  endforeach()
  set(${out} "${paths}" PARENT_SCOPE)
  set(${targets_out} "${targets}" PARENT_SCOPE)
endfunction()

# tarsil_library(<name> OBJECTS <object>...)
# Packs the objects into <name>.lib in the current build directory. The
# target <name> builds it, and tarsil_link takes <name> among its LIBRARIES.
function(tarsil_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "OBJECTS")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_OBJECTS)
    message(FATAL_ERROR "usage: tarsil_library(<name> OBJECTS <object>...)")
  endif()
  _tarsil_absolute(objects object_targets ${arg_OBJECTS})
  set(library "${CMAKE_CURRENT_BINARY_DIR}/${name}.lib")
  _tarsil_command(command tarsil::lib)
  add_custom_command(OUTPUT "${library}"
    COMMAND ${command} c "${library}" ${objects}
    DEPENDS ${objects} "$<TARGET_FILE:tarsil::lib>"
    COMMENT "Packing tarsil library ${name}.lib"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS "${library}")
  set_target_properties(${name} PROPERTIES TARSIL_LIBRARY_FILE "${library}")
endfunction()

# tarsil_link(<name> LKR <cmdfile> OBJECTS <object>... [LIBRARIES <lib>...]
#             [DEVICE_FILE <file>] [MAP] [HEX [FORMAT INHX8M|INHX8S|INHX32]])
# Links <name>.cof (with <name>.map, and <name>.hex or the INHX8S pair
# <name>.hxl and <name>.hxh) in the current build directory. The command
# file's own directory is searched for the command files it INCLUDEs. With
# Ninja and Makefiles the linker's dependency file tells the build every
# file the link read, included command files too.
function(tarsil_link name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "MAP;HEX" "LKR;DEVICE_FILE;FORMAT" "OBJECTS;LIBRARIES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_LKR OR NOT arg_OBJECTS)
    message(FATAL_ERROR "usage: tarsil_link(<name> LKR <cmdfile> OBJECTS <object>... [LIBRARIES <lib>...] "
                        "[DEVICE_FILE <file>] [MAP] [HEX [FORMAT INHX8M|INHX8S|INHX32]])")
  endif()
  if(DEFINED arg_FORMAT AND NOT arg_HEX)
    message(FATAL_ERROR "tarsil_link(${name}): FORMAT needs HEX")
  endif()
  if(DEFINED arg_FORMAT AND NOT arg_FORMAT MATCHES "^(INHX8M|INHX8S|INHX32)$")
    message(FATAL_ERROR "tarsil_link(${name}): FORMAT is INHX8M, INHX8S or INHX32, not '${arg_FORMAT}'")
  endif()

  _tarsil_absolute(lkr unused "${arg_LKR}")
  _tarsil_absolute(objects object_targets ${arg_OBJECTS})
  _tarsil_absolute(libraries library_targets ${arg_LIBRARIES})
  get_filename_component(lkr_dir "${lkr}" DIRECTORY)
  set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  set(executable "${dir}/${name}.cof")
  set(outputs "${executable}")

  # The gnu style says nothing on success and puts each message on one line
  # that editors and CI logs point at.
  set(options --diagnostics=gnu -k "${lkr_dir}" -o "${executable}")
  if(arg_MAP)
    list(APPEND options -m "${dir}/${name}.map")
    list(APPEND outputs "${dir}/${name}.map")
  endif()
  set(device_files)
  if(DEFINED arg_DEVICE_FILE)
    _tarsil_absolute(device_files unused "${arg_DEVICE_FILE}")
    list(APPEND options --device-file "${device_files}")
  endif()
  set(depfile_args)
  if(CMAKE_GENERATOR MATCHES "Ninja|Makefiles")
    list(APPEND options --depfile "${dir}/${name}.d")
    set(depfile_args DEPFILE "${dir}/${name}.d")
  endif()
  _tarsil_command(link tarsil::tarsil)
  set(commands COMMAND ${link} ${options} -- ${lkr} ${objects} ${libraries})

  set(depends "$<TARGET_FILE:tarsil::tarsil>")
  if(arg_HEX)
    _tarsil_command(hex tarsil::hex)
    set(hex_options)
    if(device_files)
      list(APPEND hex_options --device-file "${device_files}")
    endif()
    if(arg_FORMAT STREQUAL "INHX8S")
      list(APPEND outputs "${dir}/${name}.hxl" "${dir}/${name}.hxh")
    else()
      list(APPEND outputs "${dir}/${name}.hex")
    endif()
    if(DEFINED arg_FORMAT)
      list(APPEND hex_options -a ${arg_FORMAT})
    endif()
    list(APPEND commands COMMAND ${hex} ${hex_options} -o "${dir}/${name}.hex" "${executable}")
    list(APPEND depends "$<TARGET_FILE:tarsil::hex>")
  endif()

  # The dependency file as CMake 3.20 reads it, without a policy warning in
  # projects that ask for older behaviour.
  cmake_policy(PUSH)
  cmake_policy(SET CMP0116 NEW)
  add_custom_command(OUTPUT ${outputs}
    ${commands}
    DEPENDS "${lkr}" ${objects} ${libraries} ${device_files} ${depends}
    ${depfile_args}
    WORKING_DIRECTORY "${dir}"
    COMMENT "Linking tarsil executable ${name}.cof"
    VERBATIM)
  cmake_policy(POP)
  add_custom_target(${name} ALL DEPENDS ${outputs})
  if(object_targets OR library_targets)
    add_dependencies(${name} ${object_targets} ${library_targets})
  endif()
  set_target_properties(${name} PROPERTIES TARSIL_EXECUTABLE "${executable}")
endfunction()
