# The certificate object: summary, signing and verification, encryption.
list(APPEND PROVIDERS_SOURCES SMCertificate.cpp core/Certificate.cpp)
