# SM object identifiers, SM2 ASN.1 types, GM/T 0010 message syntax.
list(APPEND SM_SOURCES sm_oid.cpp sm2_asn1.cpp fp7.cpp sm2_verify.cpp)
