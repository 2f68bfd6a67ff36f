# The build record: every program gets <program>.build.json beside it, saying
# which version, commit, compiler, flags and MPI it was built from and with,
# and the launcher to start it with. The scripts that start a job copy it
# into the job's run record (processors64-run, tools/processors64/run.py).

# The compile lines the record's flags are read from.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
find_package(Git QUIET)
set(PROCESSORS64_SOURCE_COMMIT "" CACHE STRING
  "The commit of a copy of the source that is no git checkout (empty: ask git)")

# The implementation ("Open MPI" or "MPICH") and version of the MPI the
# programs are built against: from FindMPI's library version string where it
# determined one, else from the MPI's own mpi.h, else from its C compiler
# wrapper. Empty where none of them says.
function(processors64_mpi_identity implementation version)
  set(text "${MPI_C_LIBRARY_VERSION_STRING}")
  if(NOT text MATCHES "Open MPI v[0-9]|MPICH Version:")
    foreach(dir ${MPI_C_HEADER_DIR} ${MPI_C_INCLUDE_DIRS})
      if(EXISTS "${dir}/mpi.h")
        file(STRINGS "${dir}/mpi.h" text REGEX "#define (OMPI_(MAJOR|MINOR|RELEASE)_VERSION|MPICH_VERSION) ")
        break()
      endif()
    endforeach()
  endif()
  if(NOT text MATCHES "OMPI_MAJOR_VERSION|MPICH_VERSION|Open MPI v[0-9]|MPICH Version:")
    execute_process(COMMAND ${MPI_C_COMPILER} -showme:version OUTPUT_VARIABLE text
      ERROR_VARIABLE text RESULT_VARIABLE failed)
    if(failed)
      execute_process(COMMAND ${MPI_C_COMPILER} -v OUTPUT_VARIABLE text ERROR_VARIABLE text)
    endif()
  endif()
  set(name "")
  set(number "")
  if(text MATCHES "Open MPI v?([0-9]+(\\.[0-9]+)*)")
    set(name "Open MPI")
    set(number "${CMAKE_MATCH_1}")
  elseif(text MATCHES "OMPI_MAJOR_VERSION ([0-9]+).*OMPI_MINOR_VERSION ([0-9]+).*OMPI_RELEASE_VERSION ([0-9]+)")
    set(name "Open MPI")
    set(number "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
  elseif(text MATCHES "MPICH_VERSION \"([0-9.]+)\"|MPICH Version:[ \t]*([0-9.]+)|for MPICH version ([0-9.]+)")
    set(name "MPICH")
    set(number "${CMAKE_MATCH_1}${CMAKE_MATCH_2}${CMAKE_MATCH_3}")
  endif()
  set(${implementation} "${name}" PARENT_SCOPE)
  set(${version} "${number}" PARENT_SCOPE)
endfunction()

processors64_mpi_identity(PROCESSORS64_MPI_IMPLEMENTATION PROCESSORS64_MPI_VERSION)
message(STATUS "MPI of the build record: ${PROCESSORS64_MPI_IMPLEMENTATION} ${PROCESSORS64_MPI_VERSION}")

# The master's cap (MAX_PROCS) of the short build and of the benchmark, as
# the program's header defines them, in the order of its two branches.
file(STRINGS "${PROJECT_SOURCE_DIR}/src/processors64_mpi_mac0.h" PROCESSORS64_CAPS
  REGEX "^constexpr int MAX_PROCS = [0-9]+;")
list(TRANSFORM PROCESSORS64_CAPS REPLACE "^constexpr int MAX_PROCS = ([0-9]+);.*" "\\1")
list(LENGTH PROCESSORS64_CAPS count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "processors64_mpi_mac0.h: expected two definitions of MAX_PROCS")
endif()
list(GET PROCESSORS64_CAPS 0 PROCESSORS64_SHORT_CAP)
list(GET PROCESSORS64_CAPS 1 PROCESSORS64_CAP)

# Writes <program>.build.json beside `program` at every build of it, with
# the flags that object library `objects` compiles a workload with and the
# cap of its master (the short build's where `objects` is compiled as one).
function(processors64_build_record program objects)
  set(short "$<IN_LIST:PROCESSORS64_SHORT_BUILD,$<TARGET_PROPERTY:${objects},COMPILE_DEFINITIONS>>")
  set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  get_property(multi_config GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
  if(multi_config)
    set(dir "${dir}/$<CONFIG>")
  endif()
  add_custom_target(${program}_build_record
    COMMAND ${CMAKE_COMMAND}
      "-DOUTPUT=${dir}/${program}.build.json"
      "-DCOMPILE_COMMANDS=${CMAKE_BINARY_DIR}/compile_commands.json"
      "-DOBJECTS=${objects}"
      "-DSOURCE=${PROJECT_SOURCE_DIR}/src/workloads/float_streaming.cpp"
      "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "-DVERSION=${PROJECT_VERSION}"
      "-DBUILD_TYPE=${CMAKE_BUILD_TYPE}"
      "-DCOMPILER=${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}"
      "-DMPI_IMPLEMENTATION=${PROCESSORS64_MPI_IMPLEMENTATION}"
      "-DMPI_VERSION=${PROCESSORS64_MPI_VERSION}"
      "-DLAUNCHER=${MPIEXEC_EXECUTABLE}"
      "-DCAP=$<IF:${short},${PROCESSORS64_SHORT_CAP},${PROCESSORS64_CAP}>"
      "-DGIT=${GIT_EXECUTABLE}"
      "-DCOMMIT=${PROCESSORS64_SOURCE_COMMIT}"
      -P "${PROJECT_SOURCE_DIR}/cmake/write_build_record.cmake"
    COMMENT "Build record of ${program}"
    VERBATIM)
  add_dependencies(${program} ${program}_build_record)
endfunction()
