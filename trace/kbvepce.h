/*
 * kbvepce.h - guarded pointer checks of the trace facility.
 *
 * The probes that test caller memory for readability without risking a
 * crash are declared here as they become available.
 */
#ifndef KBVEPCE_H
#define KBVEPCE_H

#include "kbvdtrac.h"

#endif /* KBVEPCE_H */
