# Fails when the SM library defines an unmangled (C-linkage) EVP_sm3,
# EVP_sm4_*, SM3_*, SM4* or SMS4* symbol. The crypto library exports
# EVP_sm3 and EVP_sm4_* itself, so ours must stay inside namespace sm.
# Usage: cmake -DNM=<nm> -DLIB=<archive or executable> [-DEXPECT_OURS=0] -P check_sm_symbols.cmake
# EXPECT_OURS (default 1) also requires sm::EVP_sm3 to be there, so a wrong
# file cannot pass by accident.
if(NOT NM OR NOT LIB)
  message(FATAL_ERROR "NM and LIB must be given")
endif()
execute_process(COMMAND ${NM} --defined-only ${LIB}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${err}")
endif()
string(REGEX MATCHALL "[ \t][A-Za-z] (EVP_sm3|EVP_sm4_[A-Za-z0-9_]*|SM3_[A-Za-z0-9_]*|SM4[A-Za-z0-9_]*|SMS4[A-Za-z0-9_]*)\n"
       clashes "${out}")
if(clashes)
  message(FATAL_ERROR "unmangled SM symbols defined in ${LIB}:\n${clashes}")
endif()
if(NOT DEFINED EXPECT_OURS)
  set(EXPECT_OURS 1)
endif()
string(FIND "${out}" "_ZN2sm7EVP_sm3Ev" ours)
if(EXPECT_OURS AND ours EQUAL -1)
  message(FATAL_ERROR "sm::EVP_sm3 not found in ${LIB}: wrong archive?")
endif()
message(STATUS "no unmangled SM symbols in ${LIB}")
