// The scan service; all of it is public (<tessaly/scan.h>).
#pragma once

#include <tessaly/scan.h>

#include "progress/progress.h"
#include "result/result.h"
