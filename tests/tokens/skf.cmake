# SKF binding tests, against the software SKF token built in this tree. Each
# test makes its own token in a temporary SOFTSKF_DIR.
add_executable(vaultline_skf_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/skf_open_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/skf_sign_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/skf_enrol_test.cpp)
target_link_libraries(vaultline_skf_tests PRIVATE vaultline_tokens softskf_store GTest::gtest_main)
target_compile_definitions(vaultline_skf_tests PRIVATE
  SKF_LIB="$<TARGET_FILE:softskf>"
  SKF_PARTIAL_LIB="$<TARGET_FILE:softskf-partial>"
  SOFTSKF_TOOL="$<TARGET_FILE:softskf_cli>")
add_dependencies(vaultline_skf_tests softskf softskf-partial softskf_cli)
gtest_discover_tests(vaultline_skf_tests DISCOVERY_TIMEOUT 30)
