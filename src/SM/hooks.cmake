# SM2 hooks: key construction, engine, key-operation method, ASN.1 method,
# key from a certificate.
list(APPEND SM_SOURCES sm2_lib.cpp sm2_engine.cpp sm2_pmeth.cpp sm2_pameth.cpp sm2_x509.cpp)
