# SM2 core: curve data, helpers, the algorithms of GB/T 32918 and their
# dedicated point arithmetic.
list(APPEND SM_SOURCES sm2_data.cpp sm2.cpp sm2_fast.cpp)
