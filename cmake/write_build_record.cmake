# Writes the build record of one program: what it was built from and with.
# Run at every build by the program's <program>_build_record target:
#
#   cmake -DOUTPUT=<program>.build.json -DCOMPILE_COMMANDS=compile_commands.json
#         -DOBJECTS=<object library> -DSOURCE=<workload source> -DSOURCE_DIR=<dir>
#         -DVERSION=.. -DBUILD_TYPE=.. -DCOMPILER=.. -DMPI_IMPLEMENTATION=..
#         -DMPI_VERSION=.. -DLAUNCHER=.. -DCAP=.. [-DGIT=git] [-DCOMMIT=..] -P write_build_record.cmake
#
# The file is rewritten only when its content changes, so a build that changes
# nothing leaves it (and its time stamp) alone. An empty or unknown value is
# written as null.
cmake_minimum_required(VERSION 3.19)

# The JSON string of `value`: backslash, double quote and every control
# character escaped.
function(json_string out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  string(REPLACE "\n" "\\n" value "${value}")
  string(REPLACE "\r" "\\r" value "${value}")
  string(REPLACE "\t" "\\t" value "${value}")
  set(digits 0123456789abcdef)
  foreach(code RANGE 1 31)
    string(ASCII ${code} char)
    math(EXPR high "${code} / 16")
    math(EXPR low "${code} % 16")
    string(SUBSTRING "${digits}" ${high} 1 high)
    string(SUBSTRING "${digits}" ${low} 1 low)
    string(REPLACE "${char}" "\\u00${high}${low}" value "${value}")
  endforeach()
  set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

# The JSON string of `value`, or null where it is empty or a NOTFOUND.
function(json_string_or_null out value)
  if(value STREQUAL "" OR value MATCHES "-NOTFOUND$")
    set(${out} null PARENT_SCOPE)
  else()
    json_string(quoted "${value}")
    set(${out} "${quoted}" PARENT_SCOPE)
  endif()
endfunction()

# `git describe --always --dirty` of the source directory; empty outside a
# git checkout of it (a source tree unpacked inside another repository is
# not that repository's commit) or without git.
function(source_commit out)
  set(${out} "" PARENT_SCOPE)
  if(NOT GIT)
    return()
  endif()
  execute_process(COMMAND "${GIT}" rev-parse --show-toplevel
    WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE failed
    OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  file(REAL_PATH "${SOURCE_DIR}" source)
  if(failed OR top STREQUAL "")
    return()
  endif()
  file(REAL_PATH "${top}" top)
  if(NOT top STREQUAL source)
    return()
  endif()
  execute_process(COMMAND "${GIT}" describe --always --dirty
    WORKING_DIRECTORY "${SOURCE_DIR}" RESULT_VARIABLE failed
    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT failed)
    set(${out} "${commit}" PARENT_SCOPE)
  endif()
endfunction()

# The compile line of SOURCE in object library OBJECTS, from the compilation
# database, as a list of arguments; empty where the generator writes none.
function(compile_line out)
  set(${out} "" PARENT_SCOPE)
  if(NOT EXISTS "${COMPILE_COMMANDS}")
    return()
  endif()
  file(READ "${COMPILE_COMMANDS}" database)
  string(JSON count ERROR_VARIABLE error LENGTH "${database}")
  if(error OR count EQUAL 0)
    return()
  endif()
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON file GET "${database}" ${i} file)
    string(JSON command GET "${database}" ${i} command)
    # The same source is compiled once per object library: the object's
    # path names the library.
    if(file STREQUAL SOURCE AND command MATCHES "CMakeFiles/${OBJECTS}\\.dir/")
      separate_arguments(arguments UNIX_COMMAND "${command}")
      set(${out} "${arguments}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# The flags of a compile line: all but the compiler (and a launcher such as
# ccache before it), the object and source files, and the include
# directories, which differ from one checkout to the next.
function(compile_flags out arguments)
  set(flags "")
  set(skip 1)
  list(GET arguments 0 first)
  get_filename_component(first "${first}" NAME)
  if(first MATCHES "^(ccache|sccache|distcc)$")
    set(skip 2)
  endif()
  foreach(argument IN LISTS arguments)
    if(skip GREATER 0)
      math(EXPR skip "${skip} - 1")
    elseif(argument MATCHES "^(-o|-c|-I|-isystem|-iquote|-idirafter)$")
      set(skip 1)
    elseif(NOT argument MATCHES "^(-I|-isystem|-iquote|-idirafter)")
      list(APPEND flags "${argument}")
    endif()
  endforeach()
  list(JOIN flags " " flags)
  set(${out} "${flags}" PARENT_SCOPE)
endfunction()

# COMMIT names the commit of a copy of the source (which git cannot ask).
if(COMMIT)
  set(commit "${COMMIT}")
else()
  source_commit(commit)
endif()
compile_line(arguments)
set(flags "")
if(arguments)
  compile_flags(flags "${arguments}")
endif()

json_string_or_null(version "${VERSION}")
json_string_or_null(commit "${commit}")
json_string_or_null(build_type "${BUILD_TYPE}")
json_string_or_null(compiler "${COMPILER}")
json_string_or_null(flags "${flags}")
json_string_or_null(implementation "${MPI_IMPLEMENTATION}")
json_string_or_null(mpi_version "${MPI_VERSION}")
json_string_or_null(launcher "${LAUNCHER}")
if(NOT CAP MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "CAP is no count of processes: '${CAP}'")
endif()
string(CONCAT record
  "{\n"
  "  \"version\": ${version},\n"
  "  \"commit\": ${commit},\n"
  "  \"build_type\": ${build_type},\n"
  "  \"compiler\": ${compiler},\n"
  "  \"flags\": ${flags},\n"
  "  \"mpi\": {\"implementation\": ${implementation}, \"version\": ${mpi_version}},\n"
  "  \"launcher\": ${launcher},\n"
  "  \"cap\": ${CAP}\n"
  "}\n")

set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL record)
  file(WRITE "${OUTPUT}" "${record}")
endif()
