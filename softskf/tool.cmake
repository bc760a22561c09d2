# softskf tool: provisions the software token through the same store the
# library uses, so the tool and both service processes see one token. Its
# certificates are made by OpenSSL alone; no service library is linked.
set(SOFTSKF_TOOL_DIR ${CMAKE_CURRENT_SOURCE_DIR}/tool)

# Command-line table parsing and the demo CA: nothing here touches the store.
add_library(softskf_tool_core STATIC
  ${SOFTSKF_TOOL_DIR}/args.cpp
  ${SOFTSKF_TOOL_DIR}/democa.cpp
)
target_include_directories(softskf_tool_core PUBLIC ${SOFTSKF_TOOL_DIR})
target_link_libraries(softskf_tool_core PUBLIC OpenSSL::Crypto)

# The tool itself needs the token store; the library fragment defines it.
add_executable(softskf_cli
  ${SOFTSKF_TOOL_DIR}/main.cpp
  ${SOFTSKF_TOOL_DIR}/commands.cpp
  ${SOFTSKF_TOOL_DIR}/provision.cpp
  ${SOFTSKF_TOOL_DIR}/demo.cpp
)
target_link_libraries(softskf_cli PRIVATE softskf_tool_core softskf_store)
# The target name "softskf" is the SKF library's; the program is still called softskf.
set_target_properties(softskf_cli PROPERTIES OUTPUT_NAME softskf)

if(VAULTLINE_TESTS)
  # Drives the built program with its own SOFTSKF_DIR per test; checks the
  # result through the store, the openssl command and the SKF library.
  add_executable(softskf_tool_test ${CMAKE_CURRENT_SOURCE_DIR}/tool-tests/tool_test.cpp)
  target_link_libraries(softskf_tool_test PRIVATE softskf_store GTest::gtest_main ${CMAKE_DL_LIBS})
  # The SKF header and the library loader of the library's own tests.
  target_include_directories(softskf_tool_test PRIVATE
    ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  target_compile_definitions(softskf_tool_test PRIVATE
    SOFTSKF_TOOL="$<TARGET_FILE:softskf_cli>"
    SOFTSKF_LIBRARY="$<TARGET_FILE:softskf>"
    SOFTSKF_DEMO_SCRIPT="${SOFTSKF_TOOL_DIR}/demo-token.sh")
  add_dependencies(softskf_tool_test softskf_cli softskf)
  gtest_discover_tests(softskf_tool_test DISCOVERY_TIMEOUT 30)
endif()
