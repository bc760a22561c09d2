# list(APPEND FORMATS_SOURCES core/...)
