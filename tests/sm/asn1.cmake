# SM object identifiers, SM2 ASN.1 types, GM/T 0010 message syntax.
list(APPEND SM_TEST_SOURCES sm_oid_test.cpp sm2_asn1_test.cpp fp7_test.cpp)
