// Entry point of the oven manager; everything it does lives in kor_oven_mgr.cpp.
#include "kor_oven_mgr.h"

int main(int argc, char **argv) { return kor_oven_mgr_main(argc, argv); }
