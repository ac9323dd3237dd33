// The benchmark's scan entry, run_scan_benchmark; public (<tessaly/scan.h>).
#pragma once

#include <tessaly/scan.h>
