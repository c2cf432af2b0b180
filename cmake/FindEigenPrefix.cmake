# Eigen comes from the cmeel-eigen wheel (a build requirement, so pip's isolated build has
# it) whose headers and CMake files live under <site-packages>/cmeel.prefix. Point CMake
# there when a Python is at hand; otherwise the system's Eigen (libeigen3-dev) is found.
if(NOT KELDA_EIGEN_PREFIX_DONE)
  set(KELDA_EIGEN_PREFIX_DONE ON)
  set(_kelda_py "${Python_EXECUTABLE}")
  if(NOT _kelda_py)
    find_program(_kelda_py NAMES python3 python)
  endif()
  if(_kelda_py)
    execute_process(
      COMMAND "${_kelda_py}" -c
        "import sys, os; print(';'.join(os.path.join(p, 'cmeel.prefix') for p in sys.path if os.path.isdir(os.path.join(p, 'cmeel.prefix'))))"
      OUTPUT_VARIABLE _kelda_cmeel OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(_kelda_cmeel)
      list(APPEND CMAKE_PREFIX_PATH ${_kelda_cmeel})
    endif()
  endif()
endif()
