#include "bin/scan_compare/app.h"

int main(int argc, char** argv) { return tessaly::scan_compare::scan_compare_main(argc, argv); }
