// Initialisation file and station table.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "config/Instance.h"

/* Sets every default of the DriverInstance and empties the station table. */
void ResetInstance(DriverInstance *instance);
/* Tries "<base>NN.INT", "<base>N.INT", "<base>.INT"; leaves the last name tried in name. */
FILE *OpenInitFile(const char *base, char *name, size_t nameSize, uint32_t drvNumber);
/* Reads the file of the request's instance and drv number into the instance. */
void ReadInitFile(RequestBlock *request);
