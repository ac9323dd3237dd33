// tessaly: a parallel disk-usage scanner. A host starts a scan with run_scan,
// receives "scan-progress" events through a ProgressEmitter, stops a scan with
// request_scan_cancel from any thread, and reads the shared ScanResult.
#pragma once

#include <tessaly/engines.h>
#include <tessaly/export.h>
#include <tessaly/path_map.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>
#include <tessaly/scan.h>
