# list(APPEND TOKENS_SOURCES CSKFProvider.cpp ...)
