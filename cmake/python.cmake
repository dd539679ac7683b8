find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.SABIModule)
execute_process(
  COMMAND "${Python_EXECUTABLE}" -c "import numpy; print(numpy.get_include())"
  OUTPUT_VARIABLE ZORVEX_NUMPY_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _np_rc)
if(NOT _np_rc EQUAL 0)
  message(FATAL_ERROR "NumPy (2.x) is needed at build time for its C headers")
endif()

file(GLOB ZORVEX_PY_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/py/*.cpp)
Python_add_library(_core MODULE USE_SABI 3.12 WITH_SOABI ${ZORVEX_PY_SOURCES})
target_compile_definitions(_core PRIVATE
  NPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION
  NPY_TARGET_VERSION=NPY_1_25_API_VERSION)
target_include_directories(_core SYSTEM PRIVATE ${ZORVEX_NUMPY_INCLUDE})
target_compile_options(_core PRIVATE ${ZORVEX_WARNINGS} ${ZORVEX_FP_FLAGS} -O2)
target_link_libraries(_core PRIVATE zorvex_core)
# A private libstdc++ keeps the wheel independent of the system's; sanitized
# builds need the shared one, so that ASan sees its operator new/delete and
# __cxa_throw (a static copy would bypass the new/delete mismatch checks and
# leave stack poisoning behind after exceptions).
if(ZORVEX_SANITIZE)
  target_link_options(_core PRIVATE -Wl,--exclude-libs,ALL)
else()
  target_link_options(_core PRIVATE -Wl,--exclude-libs,ALL -static-libstdc++ -static-libgcc)
endif()
install(TARGETS _core LIBRARY DESTINATION zorvex_rs COMPONENT python)
