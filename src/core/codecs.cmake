# Codecs, handle classes and certificate helpers.
list(APPEND FORMATS_SOURCES core/openssl++.cpp core/OsFunctions.cpp)
