/*
 * kbvwctod.h - the date record filled by the file date query.
 */
#ifndef KBVWCTOD_H
#define KBVWCTOD_H

#include <stdint.h>

/* A point in local time, broken down. */
typedef struct {
    uint16_t year; /* full year, e.g. 2026 */
    uint8_t month; /* 1-12 */
    uint8_t day; /* 1-31 */
    uint8_t hours; /* 0-23 */
    uint8_t minutes; /* 0-59 */
    uint8_t seconds; /* 0-60 */
    uint8_t hundredths; /* always 0 */
} xcsf_tod_info;

#endif /* KBVWCTOD_H */
