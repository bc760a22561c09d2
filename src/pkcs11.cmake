# list(APPEND TOKENS_SOURCES Pkcs11.cpp ...)
