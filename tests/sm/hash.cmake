# SM3 and SM4, their method objects, and the symbol check.
list(APPEND SM_TEST_SOURCES sm3_test.cpp sm4_test.cpp)

# The crypto library exports EVP_sm3 and EVP_sm4_*: ours must not collide.
add_test(NAME sm_symbols_stay_in_namespace
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:vaultline_sm>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_sm_symbols.cmake)
add_test(NAME sm_symbols_not_in_service
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIB=$<TARGET_FILE:vaultlineservice> -DEXPECT_OURS=0
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_sm_symbols.cmake)
