#include "bin/scan_tree/app.h"

int main(int argc, char** argv) { return tessaly::scan_tree::scan_tree_main(argc, argv); }
