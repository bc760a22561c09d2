# PKCS#11 tests
