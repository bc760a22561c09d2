# libsoftskf: the token's store (also used by the tool), the SKF library and its tests.
set(SOFTSKF_DIR_SRC ${CMAKE_CURRENT_SOURCE_DIR})

add_library(softskf_store STATIC
  ${SOFTSKF_DIR_SRC}/src/crypto.cpp
  ${SOFTSKF_DIR_SRC}/src/store.cpp)
target_include_directories(softskf_store PUBLIC ${SOFTSKF_DIR_SRC}/src)
target_link_libraries(softskf_store PUBLIC OpenSSL::Crypto PkgConfig::JSONCPP)

if(VAULTLINE_TESTS)
  add_executable(softskf_store_test ${SOFTSKF_DIR_SRC}/tests/store_test.cpp)
  target_link_libraries(softskf_store_test PRIVATE softskf_store GTest::gtest_main)
  gtest_discover_tests(softskf_store_test)
endif()
