# The SM benchmark program (sm_bench).
