# Installs the build tree into WORK_DIR/prefix, runs the installed program,
# then builds and runs the host of HOST_SOURCE_DIR twice against that prefix:
# through find_package(Corvane) and through `pkg-config --cflags --libs
# corvane` with the compiler alone.
# With PYTHON set, the installed module under PYTHON_DIR must import.
# Fails on the first step that does not do what a host would expect.
foreach(var BUILD_DIR HOST_SOURCE_DIR WORK_DIR LIBDIR BINDIR INCLUDEDIR SOVERSION CXX)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "check_install.cmake needs -D${var}=...")
  endif()
endforeach()

function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

# The host prints the names of the header it writes, then the refusal of an
# image while nothing is loaded (the library may print its own lines between).
function(check_host_output how output)
  string(FIND "${output}" "categories: 2\n0: x\n1: y\n" names_at)
  string(FIND "${output}" "predict before load: refused\n" refusal_at)
  if(names_at EQUAL -1 OR refusal_at EQUAL -1 OR refusal_at LESS names_at)
    message(FATAL_ERROR "host built through ${how} printed:\n${output}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/run-cmake ${WORK_DIR}/run-pkgconfig)

set(config_args "")
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run_step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} ${config_args})

foreach(file ${INCLUDEDIR}/corvane.h ${LIBDIR}/libcorvane.so ${LIBDIR}/libcorvane.so.${SOVERSION}
             ${LIBDIR}/cmake/Corvane/CorvaneConfig.cmake
             ${LIBDIR}/cmake/Corvane/CorvaneConfigVersion.cmake
             ${LIBDIR}/pkgconfig/corvane.pc)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
# The development link points at the versioned name that hosts record.
file(READ_SYMLINK ${prefix}/${LIBDIR}/libcorvane.so link_target)
if(NOT link_target STREQUAL "libcorvane.so.${SOVERSION}")
  message(FATAL_ERROR "libcorvane.so points at '${link_target}'")
endif()

# The program runs from the prefix, finding the installed library.
run_step("run the installed program" ${prefix}/${BINDIR}/corvane --version)
if(NOT step_output MATCHES "^corvane [0-9]")
  message(FATAL_ERROR "the installed program printed: ${step_output}")
endif()

# Host 1: a CMake project that finds the installed package.
run_step("configure the find_package host" ${CMAKE_COMMAND} -S ${HOST_SOURCE_DIR}
         -B ${WORK_DIR}/host-cmake -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX}
         -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}"
         "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run_step("build the find_package host" ${CMAKE_COMMAND} --build ${WORK_DIR}/host-cmake)
run_step("run the find_package host" ${WORK_DIR}/host-cmake/corvane_host ${WORK_DIR}/run-cmake)
check_host_output("find_package(Corvane)" "${step_output}")

# Host 2: the same source compiled with the flags pkg-config gives.
find_program(PKG_CONFIG_EXECUTABLE pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run_step("pkg-config" ${PKG_CONFIG_EXECUTABLE} --cflags --libs corvane)
string(STRIP "${step_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
run_step("compile the pkg-config host" ${CXX} -std=c++17 ${extra} ${HOST_SOURCE_DIR}/main.cpp
         ${pc_flags} -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/host-pkgconfig)
run_step("run the pkg-config host" ${WORK_DIR}/host-pkgconfig ${WORK_DIR}/run-pkgconfig)
check_host_output("pkg-config" "${step_output}")

# The installed Python module finds the installed library by its run path.
if(PYTHON)
  set(ENV{PYTHONPATH} ${prefix}/${PYTHON_DIR})
  run_step("import the installed Python module" ${PYTHON} -c
           "print(__import__('corvane').__file__)")
  string(FIND "${step_output}" "${prefix}/${PYTHON_DIR}/corvane" module_at)
  if(NOT module_at EQUAL 0)
    message(FATAL_ERROR "imported corvane from elsewhere: ${step_output}")
  endif()
endif()

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "both hosts built against ${prefix} and listed the categories")
