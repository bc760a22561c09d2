# The SKF binding: loads a GM/T 0016 vendor library at run time and drives it.
list(APPEND TOKENS_SOURCES CSKFProvider.cpp)
