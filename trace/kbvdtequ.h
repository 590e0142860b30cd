/*
 * kbvdtequ.h - binary layouts of the trace facility.
 *
 * The shared trace header (TRACE_HDR) lives in a System V segment that
 * every traced process of the machine attaches to, 32-bit and 64-bit
 * alike, so every field has a fixed width and a fixed offset.  Ring
 * entries (MSG) are packed at any byte offset: read and write their
 * fields with memcpy, never through a pointer to a MSG inside a ring.
 */
#ifndef KBVDTEQU_H
#define KBVDTEQU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define XTR_SHM_KEY 0x96728001 /* shared segment */
#define XTR_LOCK_SEM_KEY 0x96728001 /* lock semaphore set */
#define XTR_EVENT_SEM_KEY 0x96728013 /* event semaphore set */

#define XTR_RING_SIZE 0x10000 /* shared ring: entries at offsets 0..65535 */
#define XTR_P_RING_SIZE 0x9c00 /* per-process ring: 39936 bytes */
#define XTR_TEMPLATES 10
#define XTR_CRITERIA 4 /* T, F, D, L */
#define XTR_MSG_HDR_LEN 20 /* bytes before the text of an entry */
#define XTR_MSG_OVERHEAD 24 /* entry length = text length + 24 */

/* One selection template, 20 bytes. */
typedef struct {
    uint32_t pid; /* 0 = any process */
    uint32_t tid; /* 0 = any thread */
    unsigned char tc[7]; /* component pattern; blank first char = unused */
    unsigned char criteria[XTR_CRITERIA]; /* '+', '-' or blank per criteria */
    unsigned char pad;
} TEMPLATE;

/* The shared trace header, 65880 bytes, ring at offset 342. */
typedef struct {
    char eyecatcher[16]; /* "TRACE BUFFER" and four NULs */
    int32_t bInitialized;
    uint32_t uBufferLock; /* id of the lock semaphore set */
    uint32_t max_file_size;
    uint32_t abs_max_file_size;
    uint32_t wrapposition;
    uint32_t startposition;
    int32_t pid; /* continuous reader, 0 = none */
    uint16_t active;
    uint16_t cont;
    uint16_t cont_running;
    uint16_t not_first_file_open;
    uint32_t uEventSem; /* id of the event semaphore set */
    uint32_t lost_msg;
    uint32_t count;
    uint32_t begin;
    uint32_t end;
    uint32_t oldest;
    char priority;
    unsigned char trace_all[XTR_CRITERIA];
    unsigned char trace_none[XTR_CRITERIA];
    unsigned char pad[3];
#ifdef __cplusplus
    TEMPLATE template_[XTR_TEMPLATES]; /* `template` is reserved in C++ */
#else
    TEMPLATE template[XTR_TEMPLATES];
#endif
    unsigned char template_length[XTR_TEMPLATES];
    unsigned char type[XTR_CRITERIA][11];
    unsigned char pbuffer[XTR_RING_SIZE + 2];
} TRACE_HDR, *PTRACE_HDR;

/* Header of one ring entry; the NUL-terminated text follows at offset 20. */
typedef struct {
    uint16_t length; /* text length + 24; 0 = wrap marker */
    uint16_t pad;
    uint32_t pid;
    uint32_t tid;
    uint32_t time; /* seconds since the Epoch */
    uint32_t usecs;
} MSG;

/* The per-process ring (private memory, same entry format). */
typedef struct {
    uint32_t begin;
    uint32_t end;
    unsigned char pbuffer[XTR_P_RING_SIZE + 2];
} TRACE_P_HDR;

#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__cplusplus)
#define XTR_STATIC_ASSERT static_assert
#else
#define XTR_STATIC_ASSERT _Static_assert
#endif
#include <stddef.h>
XTR_STATIC_ASSERT(sizeof(TEMPLATE) == 20, "TEMPLATE is 20 bytes");
XTR_STATIC_ASSERT(offsetof(TEMPLATE, tc) == 8, "TEMPLATE.tc at 8");
XTR_STATIC_ASSERT(offsetof(TEMPLATE, criteria) == 15, "TEMPLATE.criteria at 15");
XTR_STATIC_ASSERT(sizeof(MSG) == XTR_MSG_HDR_LEN, "MSG header is 20 bytes");
XTR_STATIC_ASSERT(offsetof(MSG, pid) == 4 && offsetof(MSG, tid) == 8, "MSG ids");
XTR_STATIC_ASSERT(offsetof(MSG, time) == 12 && offsetof(MSG, usecs) == 16, "MSG stamp");
XTR_STATIC_ASSERT(sizeof(TRACE_HDR) == 65880, "TRACE_HDR is 65880 bytes");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, bInitialized) == 16, "bInitialized at 16");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, pid) == 40, "pid at 40");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, active) == 44, "active at 44");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, uEventSem) == 52, "uEventSem at 52");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, begin) == 64, "begin at 64");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, oldest) == 72, "oldest at 72");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, priority) == 76, "priority at 76");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, trace_all) == 77, "trace_all at 77");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, trace_none) == 81, "trace_none at 81");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, template_length) - sizeof(TEMPLATE) * XTR_TEMPLATES == 88, "templates at 88");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, template_length) == 288, "template_length at 288");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, type) == 298, "type at 298");
XTR_STATIC_ASSERT(offsetof(TRACE_HDR, pbuffer) == 342, "ring at 342");
XTR_STATIC_ASSERT(offsetof(TRACE_P_HDR, pbuffer) == 8, "per-process ring at 8");

#endif /* KBVDTEQU_H */
