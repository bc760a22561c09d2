# Codecs, handle classes and certificate helpers.
list(APPEND FORMATS_SOURCES core/base64.cpp core/hexcode.cpp core/openssl++.cpp core/OsFunctions.cpp)
