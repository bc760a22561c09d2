# Codecs, handle classes and certificate helpers.
list(APPEND FORMATS_TEST_SOURCES codecs_test.cpp certificate_test.cpp)
