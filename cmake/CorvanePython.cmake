# Decides whether the Python module can be built here and sets
# CORVANE_PYTHON_DEFAULT accordingly: it needs pybind11, a Python 3
# interpreter with numpy, and that interpreter's development files.
#
# The first `python3` on PATH may be a private interpreter without numpy (a
# version manager's shim, say), while the system one has it: unless
# Python3_EXECUTABLE is given, the first candidate that imports numpy wins.
set(CORVANE_PYTHON_DEFAULT OFF)
if(CORVANE_SANITIZE)
  # An instrumented module cannot be loaded into an uninstrumented interpreter.
  return()
endif()

if(NOT Python3_EXECUTABLE)
  find_program(CORVANE_PATH_PYTHON3 NAMES python3)
  foreach(candidate ${CORVANE_PATH_PYTHON3} /usr/bin/python3)
    if(EXISTS ${candidate})
      execute_process(COMMAND ${candidate} -c "import numpy" RESULT_VARIABLE _corvane_numpy_rc
                      OUTPUT_QUIET ERROR_QUIET)
      if(_corvane_numpy_rc EQUAL 0)
        set(Python3_EXECUTABLE ${candidate} CACHE FILEPATH "Python interpreter the module is for")
        break()
      endif()
    endif()
  endforeach()
endif()

find_package(Python3 QUIET COMPONENTS Interpreter Development.Module)
find_package(pybind11 CONFIG QUIET)
if(Python3_FOUND AND pybind11_FOUND)
  execute_process(COMMAND ${Python3_EXECUTABLE} -c "import numpy" RESULT_VARIABLE _corvane_numpy_rc
                  OUTPUT_QUIET ERROR_QUIET)
  if(_corvane_numpy_rc EQUAL 0)
    set(CORVANE_PYTHON_DEFAULT ON)
  endif()
endif()
if(NOT CORVANE_PYTHON_DEFAULT)
  message(STATUS "Python module: off by default (needs pybind11, Python 3 with numpy and its "
                 "development files)")
endif()
