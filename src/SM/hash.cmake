# SM3 and SM4 with their crypto-library method objects. sm4_simd.cpp holds
# the GFNI kernels; they carry their own target attributes and are chosen at
# run time, so no special compile flags are needed here.
list(APPEND SM_SOURCES sm3.cpp m_sm3.cpp sm4.cpp sm4_simd.cpp e_sm4.cpp)
