# AddressSanitizer + UndefinedBehaviorSanitizer on every target we compile.
# Any UB report aborts (no recovery), so a report cannot scroll by unnoticed.
# float-cast-overflow is outside gcc's "undefined" group but is real UB in
# quantization (a float index out of range). Line tables (-g1) are all a
# symbolized report needs. -O1, the sanitizers' usual level, compiles in about
# half the time of -O3 with them; neither changes a result, since the core's
# arithmetic is fixed by its flags (no contraction, no value-changing
# optimisation), not by the optimisation level.
set(ZORVEX_SANITIZE_FLAGS
  -fsanitize=address,undefined,float-cast-overflow
  -fno-sanitize-recover=all
  -fno-omit-frame-pointer
  -O1
  -g1)
foreach(_target zorvex_core _core zorvex_cpp_tests)
  if(TARGET ${_target})
    target_compile_options(${_target} PRIVATE ${ZORVEX_SANITIZE_FLAGS})
    target_link_options(${_target} PRIVATE ${ZORVEX_SANITIZE_FLAGS})
  endif()
endforeach()
