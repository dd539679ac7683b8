# The core: everything below src/ except the Python bindings. It never sees Python.h.
file(GLOB ZORVEX_CORE_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/common/*.cpp
  ${PROJECT_SOURCE_DIR}/src/core/codec/*.cpp
  ${PROJECT_SOURCE_DIR}/src/core/corpus/*.cpp
  ${PROJECT_SOURCE_DIR}/src/io/compressed_vector/*.cpp
  ${PROJECT_SOURCE_DIR}/src/io/collection_file/*.cpp
  ${PROJECT_SOURCE_DIR}/src/backend/*.cpp)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(ZORVEX_X86_64 ON)
else()
  set(ZORVEX_X86_64 OFF)
endif()
# Kernels compiled for a wider instruction set, selected at run time.
file(GLOB ZORVEX_AVX2_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*/*_avx2.cpp ${PROJECT_SOURCE_DIR}/src/*/*/*_avx2.cpp)
file(GLOB ZORVEX_AVX512_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*/*_avx512.cpp ${PROJECT_SOURCE_DIR}/src/*/*/*_avx512.cpp)
# Kernels that also need AVX-512 VBMI and VNNI (byte permutes, byte dot products).
file(GLOB ZORVEX_AVX512VBMI_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*/*_avx512vbmi.cpp)
list(REMOVE_ITEM ZORVEX_CORE_SOURCES ${ZORVEX_AVX2_SOURCES} ${ZORVEX_AVX512_SOURCES} ${ZORVEX_AVX512VBMI_SOURCES})
# Elsewhere only the portable forms exist; stand-ins satisfy the dispatchers.
if(NOT ZORVEX_X86_64)
  set(ZORVEX_AVX2_SOURCES ${PROJECT_SOURCE_DIR}/src/arch/x86_forms_absent.cpp)
  set(ZORVEX_AVX512_SOURCES)
  set(ZORVEX_AVX512VBMI_SOURCES)
endif()

add_library(zorvex_core STATIC ${ZORVEX_CORE_SOURCES} ${ZORVEX_AVX2_SOURCES} ${ZORVEX_AVX512_SOURCES}
  ${ZORVEX_AVX512VBMI_SOURCES})
target_include_directories(zorvex_core PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_include_directories(zorvex_core SYSTEM PRIVATE ${ZORVEX_EIGEN_INCLUDE_DIR})
target_compile_options(zorvex_core PRIVATE ${ZORVEX_WARNINGS} ${ZORVEX_FP_FLAGS} -O2)
if(ZORVEX_X86_64)
  set_source_files_properties(${ZORVEX_AVX2_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx2;-mfma")
  set_source_files_properties(${ZORVEX_AVX512_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx512f;-mavx512dq;-mavx512vl;-mavx512bw;-mavx2;-mfma")
  set_source_files_properties(${ZORVEX_AVX512VBMI_SOURCES} PROPERTIES COMPILE_OPTIONS
    "-mavx512f;-mavx512dq;-mavx512vl;-mavx512bw;-mavx512vbmi;-mavx512vnni;-mavx2;-mfma")
endif()
# The rotation QR's rounding is part of every rotation matrix, so its
# instruction set is pinned whatever the toolchain defaults or CXXFLAGS say.
if(ZORVEX_X86_64)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/core/codec/rotation_qr.cpp PROPERTIES COMPILE_OPTIONS
    "-O2;-march=x86-64;-mtune=generic;-mno-avx;-mno-fma;-ffp-contract=off;-fno-fast-math")
else()
  # Elsewhere it runs x86-64's SSE2 code through SIMDe (Debian's libsimde-dev).
  find_path(ZORVEX_SIMDE_INCLUDE_DIR simde/x86/sse2.h PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ZORVEX_SIMDE_INCLUDE_DIR)
    message(FATAL_ERROR "SIMDe not found: apt-get install libsimde-dev, or set ZORVEX_SIMDE_INCLUDE_DIR")
  endif()
  set_source_files_properties(${PROJECT_SOURCE_DIR}/src/core/codec/rotation_qr.cpp PROPERTIES
    INCLUDE_DIRECTORIES "${PROJECT_SOURCE_DIR}/src/arch/sse2_simde;${ZORVEX_SIMDE_INCLUDE_DIR}"
    COMPILE_OPTIONS "-O2;-D__SSE__;-D__SSE2__;-U__ARM_FEATURE_FMA;-ffp-contract=off;-fno-fast-math")
endif()
find_package(Threads REQUIRED)
target_link_libraries(zorvex_core PUBLIC Threads::Threads)
