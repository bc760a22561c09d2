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
