# The decoder's hot kernels (IDCT, motion compensation), reference and SSE2.
# Included from src/CMakeLists.txt after zarvel_engine is defined.
add_library(zarvel_mpeg1_kernels STATIC
  ${CMAKE_CURRENT_LIST_DIR}/idct.cpp
  ${CMAKE_CURRENT_LIST_DIR}/idct_sse2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/motion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/motion_sse2.cpp
)
target_include_directories(zarvel_mpeg1_kernels PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(zarvel_engine PUBLIC zarvel_mpeg1_kernels)

# Micro-benchmark: ns per IDCT and per prediction, reference against SSE2.
add_executable(kernels_bench ${CMAKE_CURRENT_LIST_DIR}/../../bench/kernels_bench.cpp)
target_link_libraries(kernels_bench PRIVATE zarvel_mpeg1_kernels)
