# PKCS#7 and SM2 signed data, SM2 signature checks.
list(APPEND FORMATS_TEST_SOURCES pkcs7_message_test.cpp sm2_message_test.cpp)
