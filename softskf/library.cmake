# libsoftskf
