// Linux MEI character device port: what it adds to HeciPort.h.
#pragma once

#include "HeciPort.h"

// The port's trace switch: off at start; nothing in the programs sets it.
extern bool gHECILinuxPortTrace;

// Finds and opens the MEI device into the record. 0, or 2 (none, or the
// open was refused). Used by HECI_Init only.
HECIStatus HECIWin_OpenHeci(HECIWinDevice* device);
