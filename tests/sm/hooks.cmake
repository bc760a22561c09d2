# SM2 keys through the library's generic calls.
list(APPEND SM_TEST_SOURCES sm2_hooks_test.cpp)
