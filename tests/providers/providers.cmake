# Provider layer tests: the trusted-library check and the query records on
# their own, then the registry and providers over the software SKF token and
# SoftHSM2 (through the forwarding module that logs in).
add_executable(vaultline_provider_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/trusted_path_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/records_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/provider_skf_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/provider_pkcs11_test.cpp)
target_include_directories(vaultline_provider_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/tokens)
target_link_libraries(vaultline_provider_tests PRIVATE vaultline_providers softskf_store GTest::gtest_main)
target_compile_definitions(vaultline_provider_tests PRIVATE
  SKF_LIB="$<TARGET_FILE:softskf>"
  SOFTSKF_TOOL="$<TARGET_FILE:softskf_cli>"
  P11FORWARD_LIB="$<TARGET_FILE:p11forward>")
add_dependencies(vaultline_provider_tests softskf softskf_cli p11forward)
gtest_discover_tests(vaultline_provider_tests DISCOVERY_TIMEOUT 30)
