# Included from tests/CMakeLists.txt.
zarvel_test(mpeg1_kernel_tests unit
  ${CMAKE_CURRENT_LIST_DIR}/kernels_test.cpp)
