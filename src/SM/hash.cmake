# SM3 and SM4 with their crypto-library method objects.
list(APPEND SM_SOURCES sm3.cpp m_sm3.cpp)
