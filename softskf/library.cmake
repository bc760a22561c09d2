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

# The SKF library: one set of objects, linked twice with different export lists.
add_library(softskf_objects OBJECT
  ${SOFTSKF_DIR_SRC}/src/blobs.cpp
  ${SOFTSKF_DIR_SRC}/src/env_options.cpp
  ${SOFTSKF_DIR_SRC}/src/exports.cpp
  ${SOFTSKF_DIR_SRC}/src/handles.cpp
  ${SOFTSKF_DIR_SRC}/src/ops_common.cpp
  ${SOFTSKF_DIR_SRC}/src/ops_container.cpp
  ${SOFTSKF_DIR_SRC}/src/ops_device.cpp
  ${SOFTSKF_DIR_SRC}/src/ops_sign.cpp)
target_include_directories(softskf_objects PUBLIC ${SOFTSKF_DIR_SRC}/include ${SOFTSKF_DIR_SRC}/src)
target_link_libraries(softskf_objects PUBLIC softskf_store)
set_target_properties(softskf_objects PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

foreach(variant IN ITEMS full partial)
  if(variant STREQUAL "full")
    set(lib softskf)
    set(map ${SOFTSKF_DIR_SRC}/src/exports.map)
  else()
    set(lib softskf-partial)
    set(map ${SOFTSKF_DIR_SRC}/src/exports-partial.map)
  endif()
  add_library(${lib} SHARED $<TARGET_OBJECTS:softskf_objects>)
  target_link_libraries(${lib} PRIVATE softskf_store)
  target_link_options(${lib} PRIVATE
    "LINKER:--version-script=${map}" "LINKER:--exclude-libs,ALL" "LINKER:--no-undefined")
  set_target_properties(${lib} PROPERTIES LINK_DEPENDS ${map})
endforeach()

if(VAULTLINE_TESTS)
  foreach(t skf_api_test skf_sign_test skf_import_test skf_env_test skf_dialog_test)
    add_executable(${t} ${SOFTSKF_DIR_SRC}/tests/${t}.cpp)
    target_include_directories(${t} PRIVATE ${SOFTSKF_DIR_SRC}/include ${SOFTSKF_DIR_SRC}/tests)
    target_link_libraries(${t} PRIVATE softskf_store GTest::gtest_main ${CMAKE_DL_LIBS})
    target_compile_definitions(${t} PRIVATE
      SOFTSKF_LIB_PATH="$<TARGET_FILE:softskf>"
      SOFTSKF_PARTIAL_LIB_PATH="$<TARGET_FILE:softskf-partial>")
    add_dependencies(${t} softskf softskf-partial)
    gtest_discover_tests(${t})
  endforeach()
endif()
