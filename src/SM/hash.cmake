# list(APPEND SM_SOURCES ...)
