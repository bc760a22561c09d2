# The SM benchmark program (sm_bench): the system's SM3, SM4 and SM2 side by
# side with OpenSSL's and Botan's in one run. Every bench/sm_bench_*.cpp file
# is part of it, so each area adds its own file without touching this one.
pkg_check_modules(BOTAN2 REQUIRED IMPORTED_TARGET botan-2)

file(GLOB SM_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sm_bench_*.cpp)
add_executable(sm_bench ${SM_BENCH_SOURCES})
target_link_libraries(sm_bench PRIVATE vaultline_sm OpenSSL::Crypto PkgConfig::BOTAN2 benchmark::benchmark)
# Botan's headers are not ours to keep warning-free.
get_target_property(_sm_bench_botan_inc PkgConfig::BOTAN2 INTERFACE_INCLUDE_DIRECTORIES)
target_include_directories(sm_bench SYSTEM PRIVATE ${_sm_bench_botan_inc})
