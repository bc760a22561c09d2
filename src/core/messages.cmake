# PKCS#7 handles and the signed-data messages (PKCS#7 and SM2).
list(APPEND FORMATS_SOURCES core/openssl_pkcs7.cpp core/OsOpenssl.cpp)
