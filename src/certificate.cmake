# list(APPEND PROVIDERS_SOURCES SMCertificate.cpp core/Certificate.cpp ...)
