# AddressSanitizer + UndefinedBehaviorSanitizer on every target we compile.
# Any UB report aborts (no recovery), so a report cannot scroll by unnoticed.
# float-cast-overflow is outside gcc's "undefined" group but is real UB in
# quantization (a float index out of range). -g for symbolized reports only.
set(ZORVEX_SANITIZE_FLAGS
  -fsanitize=address,undefined,float-cast-overflow
  -fno-sanitize-recover=all
  -fno-omit-frame-pointer
  -g)
foreach(_target zorvex_core _core zorvex_cpp_tests)
  if(TARGET ${_target})
    target_compile_options(${_target} PRIVATE ${ZORVEX_SANITIZE_FLAGS})
    target_link_options(${_target} PRIVATE ${ZORVEX_SANITIZE_FLAGS})
  endif()
endforeach()
# The test sources are checkers, not the code under test: -O1 instead of -O3
# roughly halves their sanitized compile time.
if(TARGET zorvex_cpp_tests)
  target_compile_options(zorvex_cpp_tests PRIVATE -O1)
endif()
