# The registry (with the trusted-library check), the provider object and the
# shared records it fills.
list(APPEND PROVIDERS_SOURCES struct.cpp SMProviderManager.cpp SMProvider.cpp)
