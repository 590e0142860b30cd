/*
 * kbvabase.h - base types shared by the libraries' C interfaces.
 */
#ifndef KBVABASE_H
#define KBVABASE_H

typedef unsigned int BOOL; /* 0 false, anything else true */
typedef unsigned long ULONG;
typedef unsigned short USHORT;
typedef unsigned char UCHAR;
typedef int APIRET;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif /* KBVABASE_H */
