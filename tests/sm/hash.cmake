# SM3 and SM4, their method objects, and the symbol check.
list(APPEND SM_TEST_SOURCES sm3_test.cpp)
