# Certificate object tests against the software SKF token and SoftHSM2.
add_executable(vaultline_certificate_tests ${CMAKE_CURRENT_SOURCE_DIR}/certificate_test.cpp)
target_include_directories(vaultline_certificate_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/tests/tokens ${CMAKE_SOURCE_DIR}/tests/formats)
target_link_libraries(vaultline_certificate_tests PRIVATE vaultline_providers softskf_store GTest::gtest_main)
target_compile_definitions(vaultline_certificate_tests PRIVATE
  SKF_LIB="$<TARGET_FILE:softskf>"
  SOFTSKF_TOOL="$<TARGET_FILE:softskf_cli>"
  P11FORWARD_LIB="$<TARGET_FILE:p11forward>"
  VAULTLINE_FIXTURES="${CMAKE_SOURCE_DIR}/tests/fixtures")
add_dependencies(vaultline_certificate_tests softskf softskf_cli p11forward)
gtest_discover_tests(vaultline_certificate_tests DISCOVERY_TIMEOUT 30)
