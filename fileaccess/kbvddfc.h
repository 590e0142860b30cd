/*
 * kbvddfc.h - file access by logical names.
 *
 * The calls (prefix xdfc_) are declared here as they become available;
 * every one returns SPRET and reports its detail through the caller's
 * completion code.
 */
#ifndef KBVDDFC_H
#define KBVDDFC_H

#include "kbvabase.h"
#include "kbvwctod.h"
#include "kbvdtrac.h"

#endif /* KBVDDFC_H */
