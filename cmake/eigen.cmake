# Eigen (header-only): the copy the cmeel-eigen build requirement brings, else
# the system's. An isolated build (pip install ., pip wheel ., an sdist) puts
# build requirements on the build interpreter's sys.path, not in the target
# environment's site-packages, so ask that interpreter where its paths are.
# A cached path may name a build environment that is gone since (pip removes
# its temporary prefix after each isolated build of the same tree).
if(ZORVEX_EIGEN_INCLUDE_DIR AND NOT EXISTS "${ZORVEX_EIGEN_INCLUDE_DIR}/Eigen/Householder")
  unset(ZORVEX_EIGEN_INCLUDE_DIR CACHE)
endif()
if(NOT ZORVEX_EIGEN_INCLUDE_DIR)
  execute_process(
    COMMAND "${Python_EXECUTABLE}" -c
      "import sys, sysconfig; print(';'.join([p for p in sys.path if p] + [sysconfig.get_paths()['purelib']]))"
    OUTPUT_VARIABLE _zorvex_python_paths OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(_zorvex_eigen_hints)
  foreach(_path IN LISTS _zorvex_python_paths)
    list(APPEND _zorvex_eigen_hints "${_path}/cmeel.prefix/include/eigen3")
  endforeach()
  find_path(ZORVEX_EIGEN_INCLUDE_DIR Eigen/Householder
    HINTS ${_zorvex_eigen_hints}
    PATHS /usr/include/eigen3 /usr/local/include/eigen3
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
endif()
if(NOT ZORVEX_EIGEN_INCLUDE_DIR)
  message(FATAL_ERROR "Eigen 3.4 not found: pip install cmeel-eigen, or set ZORVEX_EIGEN_INCLUDE_DIR")
endif()
message(STATUS "Eigen: ${ZORVEX_EIGEN_INCLUDE_DIR}")
