# SM2 core tests.
list(APPEND SM_TEST_SOURCES sm2_test.cpp sm2_fast_test.cpp)
