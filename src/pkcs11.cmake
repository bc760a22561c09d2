# The PKCS#11 object layer and the request builder it signs for.
list(APPEND TOKENS_SOURCES Pkcs11.cpp Csr.cpp)

# The PKCS#11 types come from p11-kit's standard header. The tokens target is
# made after this fragment is read, so its include path is added once the
# directory has been processed.
find_path(P11KIT_INCLUDE_DIR p11-kit/pkcs11.h PATH_SUFFIXES p11-kit-1 REQUIRED)
cmake_language(DEFER CALL target_include_directories vaultline_tokens PUBLIC ${P11KIT_INCLUDE_DIR})
