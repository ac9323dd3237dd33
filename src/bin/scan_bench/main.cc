#include "bin/scan_bench/app.h"

int main(int argc, char** argv) { return tessaly::scan_bench_main(argc, argv); }
