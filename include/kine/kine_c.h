/* C interface of libkine.
 *
 * A DAQ connection is an opaque handle created by callKineDAQ_Create and
 * released by callKineDAQ_Dispose. Every other DAQ function takes the handle
 * first and forwards to the matching KineDAQ operation; results and codes
 * are those of KineDAQ (reads: samples decoded, or -1 overflow, -2 not open,
 * -3 no such sensor, -4 reader stopped).
 *
 * Memory: arrays returned through pointer arguments (callReadAll,
 * callReadAll6Axis) belong to the caller and are released with
 * callDeletePackageArray / callDeleteIntArray. Text returned by
 * callGetPortName belongs to the connection.
 *
 * Threads: one handle is used from one thread at a time.
 *
 * Accepted by a plain C99 compiler; also includable from C++. */
#ifndef KINE_C_H
#define KINE_C_H

#include <stdbool.h>
#include <stdint.h>

#include "kine_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KineDAQHandle KineDAQHandle;

/* Same memory layout as the C++ KinePackage: one 3-axis sample. */
typedef struct kine_package {
    int32_t raw[8];
    int32_t x, y, z;
    int32_t x2, y2, z2;
    int32_t inconsistent[8];
    int32_t aux;
    uint8_t config; /* the configuration byte: state, speed, filter, mode */
    int32_t version;
} kine_package;

/* Same memory layout as the C++ KinePackage6D: one 6-axis sample. */
typedef struct kine_package6d {
    int32_t Fx, Fy, Fz;
    int32_t Tx, Ty, Tz;
    kine_package sensors[4];
} kine_package6d;

#if !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(kine_package) == 100, "kine_package is 100 bytes");
_Static_assert(sizeof(kine_package6d) == 424, "kine_package6d is 424 bytes");
#elif !defined(__cplusplus) && defined(__GNUC__)
/* C99: the same checks through a negative array size. */
typedef char kine_package_size_check[(sizeof(kine_package) == 100) ? 1 : -1];
typedef char kine_package6d_size_check[(sizeof(kine_package6d) == 424) ? 1 : -1];
#endif

/* ---- DAQ connection ---------------------------------------------------- */

/* New closed connection; the caller owns it until callKineDAQ_Dispose. */
KINE_API KineDAQHandle* callKineDAQ_Create(void);
/* Closes and frees the connection; NULL does nothing. */
KINE_API void callKineDAQ_Dispose(KineDAQHandle* daq);
/* Opens portName (at most 24 characters) with the identity code from
 * deviceVersion, debug mode off, 1,000,000 baud. A port name that does not
 * fit its field returns false. */
KINE_API bool callOpen(KineDAQHandle* daq, const char* portName, const char* deviceVersion);
KINE_API void callClose(KineDAQHandle* daq);
KINE_API bool callIsOpen(KineDAQHandle* daq);
KINE_API bool callIsVirtual(KineDAQHandle* daq);
/* Text owned by the connection, valid until the next call or disposal. */
KINE_API char* callGetPortName(KineDAQHandle* daq);
KINE_API int callGetSize(KineDAQHandle* daq);
KINE_API int callGetSensorSize(KineDAQHandle* daq);
KINE_API bool callIsChksumOK(KineDAQHandle* daq);
KINE_API int callGetActualVersion(KineDAQHandle* daq);
KINE_API int callGetBytesPerRead(KineDAQHandle* daq);

/* ---- Configuration and zeroing ---------------------------------------- */

/* Stores the configuration byte through config (if not NULL) and returns it. */
KINE_API unsigned char callGetConfig(KineDAQHandle* daq, unsigned char* config);
/* speed and filter in Hz (1000/333/100/30; 0/150/50/15), mode 0 raw, 1
 * compensated; unknown values keep the default (100 Hz, no filter). */
KINE_API bool callSendConfig(KineDAQHandle* daq, int mode, int speed, int filter);
KINE_API bool callZero(KineDAQHandle* daq, int sensor);
KINE_API void callZeroAll(KineDAQHandle* daq);
KINE_API bool callUnzero(KineDAQHandle* daq, int sensor);
KINE_API void callUnzeroAll(KineDAQHandle* daq);

/* ---- Reads: the caller owns every buffer passed in --------------------- */

KINE_API int callRead(KineDAQHandle* daq, kine_package* package, int sensor, bool keep);
KINE_API int callRead6D(KineDAQHandle* daq, kine_package6d* package, bool keep);
KINE_API int callReadArray(KineDAQHandle* daq, int values[8], bool keep);
KINE_API int callReadVirtual(KineDAQHandle* daq, kine_package packages[16], bool keep);
KINE_API int callReadVirtualArray(KineDAQHandle* daq, int values[128], bool keep);
KINE_API int callRead6Axis(KineDAQHandle* daq, int values[6], bool keep);
/* *packages: NULL or the array of an earlier call (resized, replaced or
 * released); on return the library's array, owned by the caller, or NULL. */
KINE_API int callReadAll(KineDAQHandle* daq, kine_package** packages, bool keep);
/* *values: NULL or an earlier array (released); on return a new array of
 * 6 ints per sample, owned by the caller (non-NULL even for 0 samples), or
 * NULL on failure. */
KINE_API int callReadAll6Axis(KineDAQHandle* daq, int** values, bool keep);
/* Frees *packages (if not NULL); *packages is left as it is. */
KINE_API void callDeletePackageArray(kine_package** packages);
/* Frees *values (if not NULL); *values is left as it is. */
KINE_API void callDeleteIntArray(int** values);

/* ---- Port discovery: declared beside the DAQ functions when available -- */

#ifdef __cplusplus
}
#endif

#endif /* KINE_C_H */
