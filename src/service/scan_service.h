// The scan service; all of it is public (<tessaly/scan.h>).
#pragma once

#include <tessaly/scan.h>
