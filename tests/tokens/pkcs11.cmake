# PKCS#11 layer tests against SoftHSM2, directly and through p11forward, a
# test module that forwards to SoftHSM2, logs the user in on each new
# session (as a vendor module's PIN dialog would) and can misreport lengths.
add_library(p11forward SHARED ${CMAKE_CURRENT_SOURCE_DIR}/p11forward/p11forward.cpp)
target_include_directories(p11forward PRIVATE ${P11KIT_INCLUDE_DIR})
target_link_libraries(p11forward PRIVATE ${CMAKE_DL_LIBS})

# Libraries that are not working modules, for the loader's refusals.
add_library(p11nolist SHARED ${CMAKE_CURRENT_SOURCE_DIR}/p11forward/nofunctionlist.cpp)
target_include_directories(p11nolist PRIVATE ${P11KIT_INCLUDE_DIR})
add_library(p11failinglist SHARED ${CMAKE_CURRENT_SOURCE_DIR}/p11forward/nofunctionlist.cpp)
target_compile_definitions(p11failinglist PRIVATE P11_FAILING_LIST)
target_include_directories(p11failinglist PRIVATE ${P11KIT_INCLUDE_DIR})

add_executable(vaultline_pkcs11_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11_module_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11_key_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11_enrol_test.cpp)
target_link_libraries(vaultline_pkcs11_tests PRIVATE vaultline_tokens GTest::gtest_main)
target_compile_definitions(vaultline_pkcs11_tests PRIVATE
  P11FORWARD_LIB="$<TARGET_FILE:p11forward>"
  P11_NO_LIST_LIB="$<TARGET_FILE:p11nolist>"
  P11_FAILING_LIST_LIB="$<TARGET_FILE:p11failinglist>")
add_dependencies(vaultline_pkcs11_tests p11forward p11nolist p11failinglist)
gtest_discover_tests(vaultline_pkcs11_tests DISCOVERY_TIMEOUT 30)
