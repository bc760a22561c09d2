# list(APPEND PROVIDERS_SOURCES SMProviderManager.cpp SMProvider.cpp ...)
