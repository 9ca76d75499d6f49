# bgs_add_interface_library: builds a binding library from definition files.
#
#   bgs_add_interface_library(<target>
#     DEFINITIONS <file.bgidl>...
#     [OUTPUT_DIR <dir>]
#     [SHARED | STATIC])
#
# At build time bgidlc generates each definition's C++ sources into
# <dir>/<file name without extension>/ (default <dir>:
# ${CMAKE_CURRENT_BINARY_DIR}/<target>), and <target> is built from them:
#   - SHARED (the default) or STATIC, compiled with hidden visibility; a
#     shared library exports only what the generated export maps name (the
#     maps of all definitions merged into <dir>/<target>.map) and must
#     resolve every symbol at link time;
#   - PUBLIC include directories: each definition's generated include/, so
#     `#include <aidl/<package path>/IName.h>` works for the target's users;
#   - PUBLIC link: bgs::binder_ndk and bgs::binder_ndk_cpp (runtime, object
#     frame, C++17, threads). The generated sources also reach the shared
#     call and record mechanisms, bgs::binding_internal, which is private.
# Each definition file stands alone; two files may not share a name (their
# output directories would), nor declare the same type.
#
# The generated file list is taken at configure time (`bgidlc --list`), and
# configuring repeats whenever a definition changes, so adding a record or
# an interface adds its source. Editing a definition regenerates the sources
# in the next build; bgidlc rewrites only files whose content changed, and
# the output depends on the definitions alone, so unchanged types are not
# recompiled. Should bgidlc itself start to generate another list (a new
# version of it), the build stops with a message and configures anew on the
# next build.
#
# The program used is bgs::bgidlc from the installed package, or the
# project's own bgidlc when the function is used inside this project; there
# the listing runs a copy of bgidlc built while configuring (under
# ${CMAKE_BINARY_DIR}/bgidlc-host), since the build's own does not exist yet.
# The target installs nothing: a project that installs it installs the
# library and the generated include/ directories itself.

include_guard(GLOBAL)

set(_BGS_INTERFACE_LIBRARY_DIR "${CMAKE_CURRENT_LIST_DIR}")

# The bgidlc that lists files at configure time: the installed one, or a copy
# built now from this source tree (once per configure run).
function(_bgs_bgidlc_for_listing out_var)
  if(TARGET bgs::bgidlc)
    get_target_property(imported bgs::bgidlc IMPORTED)
    if(imported)
      get_target_property(location bgs::bgidlc LOCATION)
      # Another bgidlc may list other files.
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${location}")
      set(${out_var} "${location}" PARENT_SCOPE)
      return()
    endif()
  endif()
  get_property(host GLOBAL PROPERTY _BGS_HOST_BGIDLC)
  if(NOT host)
    set(source "${_BGS_INTERFACE_LIBRARY_DIR}/bgidlc_host")
    set(binary "${CMAKE_BINARY_DIR}/bgidlc-host")
    set(configure_args -S "${source}" -B "${binary}" -G "${CMAKE_GENERATOR}"
      "-DBGS_SOURCE_DIR=${_BGS_INTERFACE_LIBRARY_DIR}/.."
      "-DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}"
      -DCMAKE_BUILD_TYPE=Release)
    if(CMAKE_MAKE_PROGRAM)
      list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}")
    endif()
    if(CMAKE_CXX_COMPILER_LAUNCHER)
      list(APPEND configure_args "-DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}")
    endif()
    foreach(step IN ITEMS configure build)
      if(step STREQUAL "configure")
        set(command "${CMAKE_COMMAND}" ${configure_args})
      else()
        set(command "${CMAKE_COMMAND}" --build "${binary}" --target bgidlc)
      endif()
      execute_process(COMMAND ${command}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR "building bgidlc for listing generated files failed (${step}):\n${output}")
      endif()
    endforeach()
    set(host "${binary}/programs/bgidlc/bgidlc${CMAKE_EXECUTABLE_SUFFIX}")
    set_property(GLOBAL PROPERTY _BGS_HOST_BGIDLC "${host}")
  endif()
  set(${out_var} "${host}" PARENT_SCOPE)
endfunction()

function(bgs_add_interface_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "SHARED;STATIC" "OUTPUT_DIR" "DEFINITIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "bgs_add_interface_library: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_DEFINITIONS)
    message(FATAL_ERROR "bgs_add_interface_library(${target}): DEFINITIONS names no file")
  endif()
  if(arg_SHARED AND arg_STATIC)
    message(FATAL_ERROR "bgs_add_interface_library(${target}): SHARED and STATIC exclude each other")
  endif()
  set(kind SHARED)
  if(arg_STATIC)
    set(kind STATIC)
  endif()
  set(out "${arg_OUTPUT_DIR}")
  if(NOT out)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  endif()
  get_filename_component(out "${out}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")

  if(TARGET bgs::bgidlc)
    set(generator bgs::bgidlc)
  elseif(TARGET bgidlc)
    set(generator bgidlc)
  else()
    message(FATAL_ERROR "bgs_add_interface_library(${target}): no bgidlc: find_package(bgservice_ipc) first")
  endif()
  _bgs_bgidlc_for_listing(lister)

  # A build that finds bgidlc listing other files touches this stamp, which
  # makes the next build configure again.
  set(stamp "${out}/configure.stamp")
  if(NOT EXISTS "${stamp}")
    file(MAKE_DIRECTORY "${out}")
    file(TOUCH "${stamp}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${stamp}")

  set(definitions)
  set(dirs)
  set(sources)
  set(outputs)
  set(includes)
  set(manifest "")
  foreach(definition IN LISTS arg_DEFINITIONS)
    get_filename_component(definition "${definition}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(stem "${definition}" NAME_WE)
    set(dir "${out}/${stem}")
    if(dir IN_LIST dirs)
      message(FATAL_ERROR "bgs_add_interface_library(${target}): two definitions are named ${stem}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${definition}")
    execute_process(COMMAND "${lister}" --list "${definition}"
      RESULT_VARIABLE result OUTPUT_VARIABLE listed ERROR_VARIABLE errors)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "bgidlc refused ${definition}:\n${errors}")
    endif()
    string(REGEX REPLACE "\n$" "" listed "${listed}")
    string(REPLACE "\n" ";" files "${listed}")
    foreach(file IN LISTS files)
      list(APPEND outputs "${dir}/${file}")
      if(file MATCHES "^[^/]+\\.cpp$")
        list(APPEND sources "${dir}/${file}")
      endif()
    endforeach()
    list(APPEND definitions "${definition}")
    list(APPEND dirs "${dir}")
    list(APPEND includes "${dir}/include")
    string(APPEND manifest "list(APPEND BGS_JOBS [==[${definition}]==] [==[${dir}]==] [==[${listed}]==])\n")
  endforeach()

  # What the build-time step does, written only when it changes.
  set(map "${out}/${target}.map")
  set(manifest_file "${out}/generate.cmake")
  string(APPEND manifest "set(BGS_MAP [==[${map}]==])\nset(BGS_STAMP [==[${stamp}]==])\n")
  file(CONFIGURE OUTPUT "${manifest_file}" CONTENT "${manifest}")
  list(JOIN arg_DEFINITIONS ", " named)
  add_custom_command(
    OUTPUT ${outputs} "${map}"
    COMMAND "${CMAKE_COMMAND}" "-DBGIDLC=$<TARGET_FILE:${generator}>" "-DMANIFEST=${manifest_file}"
      -P "${_BGS_INTERFACE_LIBRARY_DIR}/BgsGenerateInterface.cmake"
    DEPENDS ${generator} ${definitions} "${manifest_file}"
      "${_BGS_INTERFACE_LIBRARY_DIR}/BgsGenerateInterface.cmake"
    COMMENT "Generating ${target} from ${named}"
    VERBATIM)

  add_library(${target} ${kind} ${sources})
  target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${includes}>")
  target_link_libraries(${target}
    PUBLIC bgs::binder_ndk bgs::binder_ndk_cpp
    PRIVATE bgs::binding_internal)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # Nothing in a binding library is meant to be replaced by a preloaded
  # definition; calls into the runtime need no PLT stub.
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-fno-semantic-interposition -fno-plt>)
  if(kind STREQUAL "SHARED")
    set_target_properties(${target} PROPERTIES LINK_DEPENDS "${map}")
    target_link_options(${target} PRIVATE "-Wl,--version-script=${map}" -Wl,--no-undefined)
  endif()
endfunction()
