/// @file
/// tessaly: a parallel disk-usage scanner. A host starts a scan with scan(),
/// passing a ScanRequest that may carry a CancelToken and a ProgressCallback,
/// matches a failure by its ScanErrorKind, and walks the shared ScanResult
/// from ScanResult::root_directory(). The engines called directly, for the
/// benchmark, are in <tessaly/benchmark_engines.h>, which this header leaves
/// out.
#pragma once

#include <tessaly/export.h>
#include <tessaly/ncdu_export.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>
#include <tessaly/scan.h>
#include <tessaly/text.h>
