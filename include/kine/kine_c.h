// SPDX-License-Identifier: MIT
/* C interface of libkine.
 *
 * A DAQ connection is an opaque handle created by callKineDAQ_Create and
 * released by callKineDAQ_Dispose. Every other DAQ function takes the handle
 * first and forwards to the matching KineDAQ operation; results and codes
 * are those of KineDAQ (reads: samples decoded, or a negative read code of
 * kine_result.h).
 *
 * Memory: arrays returned through pointer arguments (callReadAll,
 * callReadAll6D, callReadAll6Axis) belong to the caller and are released with
 * callDeletePackageArray / callDeletePackage6DArray / callDeleteIntArray. Text returned by
 * callGetPortName belongs to the connection.
 *
 * Threads: one handle is used from one thread at a time; only callClose may
 * come from another thread while callOpen waits (it cancels the open).
 *
 * Failures: a NULL handle, or anything going wrong inside (memory
 * exhaustion included), gives the function's failure value: false, 0,
 * NULL, KINE_NOT_OPEN for the reads, or nothing. No C++ exception leaves
 * these functions.
 *
 * Port discovery (callKinePorts_Create ... callDeletePORTLIST) is described
 * beside its functions below.
 *
 * Accepted by a plain C99 compiler; also includable from C++. */
#ifndef KINE_C_H
#define KINE_C_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "kine_export.h"
#include "kine_port_status.h"
#include "kine_result.h"

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

#ifndef __cplusplus
/* The layouts the library relies on. __extension__ lets a C99 compiler in
 * pedantic mode accept the C11 static assertion. */
#if defined(__GNUC__) || defined(__clang__)
#define KINE_C_STATIC_ASSERT(cond, msg) __extension__ _Static_assert(cond, msg)
#else
#define KINE_C_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
KINE_C_STATIC_ASSERT(sizeof(kine_package) == 100, "kine_package is 100 bytes");
KINE_C_STATIC_ASSERT(offsetof(kine_package, config) == 92, "kine_package.config at 92");
KINE_C_STATIC_ASSERT(offsetof(kine_package, version) == 96, "kine_package.version at 96");
KINE_C_STATIC_ASSERT(sizeof(kine_package6d) == 424, "kine_package6d is 424 bytes");
KINE_C_STATIC_ASSERT(offsetof(kine_package6d, sensors) == 24, "kine_package6d.sensors at 24");
#undef KINE_C_STATIC_ASSERT
#endif

/* ---- DAQ connection ---------------------------------------------------- */

/* New closed connection (NULL if out of memory); the caller owns it. */
KINE_API KineDAQHandle* callKineDAQ_Create(void);
/* Closes and frees the connection; NULL does nothing. */
KINE_API void callKineDAQ_Dispose(KineDAQHandle* daq);
/* Opens portName (24 characters at most; a longer one returns false) with the
 * identity code from deviceVersion, debug mode off, 1,000,000 baud. The
 * library keeps no pointer to either text. On false, callGetLastOpenError
 * tells why. */
KINE_API bool callOpen(KineDAQHandle* daq, const char* portName, const char* deviceVersion);
/* Stops the reader thread; harmless on a closed connection. From another
 * thread it cancels a callOpen that waits and returns once that has ended. */
KINE_API void callClose(KineDAQHandle* daq);
/* Why the latest callOpen failed: a kine_open_error code (KINE_OPEN_OK after
 * a success); KINE_OPEN_INVALID_ARGUMENT for a NULL handle. */
KINE_API int callGetLastOpenError(KineDAQHandle* daq);
/* The operating system's errno behind the latest failed open; 0 when none applies. */
KINE_API int callGetLastOpenErrno(KineDAQHandle* daq);
/* Fixed English text for an open-error code; never NULL, never to be freed. */
KINE_API const char* callOpenErrorText(int code);
/* True while the reader thread runs. */
KINE_API bool callIsOpen(KineDAQHandle* daq);
/* True when the DAQ reports four sensors as separate streams. */
KINE_API bool callIsVirtual(KineDAQHandle* daq);
/* Text owned by the connection, valid until the next call or disposal; do
 * not free. NULL for a NULL handle. */
KINE_API char* callGetPortName(KineDAQHandle* daq);
/* Bytes the last decoding pass took. */
KINE_API int callGetSize(KineDAQHandle* daq);
/* Sensors found on the DAQ: 0, 1 or 4. */
KINE_API int callGetSensorSize(KineDAQHandle* daq);
/* True when the last completed frame had a good checksum. */
KINE_API bool callIsChksumOK(KineDAQHandle* daq);
/* Protocol version 3..8, 0 before the first frame. */
KINE_API int callGetActualVersion(KineDAQHandle* daq);
/* Frame size of the 0x37 family (29, 45, 57), 1 otherwise. */
KINE_API int callGetBytesPerRead(KineDAQHandle* daq);

/* ---- Configuration and zeroing ---------------------------------------- */

/* Stores the configuration byte through config (if not NULL) and returns it. */
KINE_API unsigned char callGetConfig(KineDAQHandle* daq, unsigned char* config);
/* speed and filter in Hz (1000/333/100/30; 0/150/50/15), mode 0 raw, 1
 * compensated; unknown values keep the default (100 Hz, no filter). True
 * when the DAQ then reports the requested speed and filter. */
KINE_API bool callSendConfig(KineDAQHandle* daq, int mode, int speed, int filter);
/* Makes the current reading of one sensor its zero; false for no such sensor. */
KINE_API bool callZero(KineDAQHandle* daq, int sensor);
/* Zeroes every sensor, or the six-axis unit. */
KINE_API void callZeroAll(KineDAQHandle* daq);
/* Resets one sensor's zero; false for no such sensor. */
KINE_API bool callUnzero(KineDAQHandle* daq, int sensor);
/* Resets every zero, the six-axis one included. */
KINE_API void callUnzeroAll(KineDAQHandle* daq);
/* Copies one sensor's zero offset into *offset (if not NULL); false, and an
 * all-zero record, for no such sensor. */
KINE_API bool callGetOffset(KineDAQHandle* daq, int sensor, kine_package* offset);

/* ---- Reads: buffers passed in belong to the caller --------------------- */

/* Newest sample of one sensor into *package (left as it was if none). */
KINE_API int callRead(KineDAQHandle* daq, kine_package* package, int sensor, bool keep);
/* Newest six-axis sample into *package. */
KINE_API int callRead6D(KineDAQHandle* daq, kine_package6d* package, bool keep);
/* Sensor 0: raw[0..3], x, y, z, aux. */
KINE_API int callReadArray(KineDAQHandle* daq, int values[8], bool keep);
/* Newest sample of every sensor into packages[0..3]. */
KINE_API int callReadVirtual(KineDAQHandle* daq, kine_package packages[16], bool keep);
/* Per sensor s at 8s: x, y, z, raw[0..3], aux. */
KINE_API int callReadVirtualArray(KineDAQHandle* daq, int values[128], bool keep);
/* Force x, y, z and torque x, y, z of a four-sensor DAQ. */
KINE_API int callRead6Axis(KineDAQHandle* daq, int values[6], bool keep);
/* *packages: NULL or the array of an earlier call (resized, replaced or
 * released); on return the library's array, owned by the caller, or NULL. */
KINE_API int callReadAll(KineDAQHandle* daq, kine_package** packages, bool keep);
/* *values: NULL or an earlier array (released); on return a new array of
 * 6 ints per sample owned by the caller (non-NULL even for 0 samples), or NULL. */
KINE_API int callReadAll6Axis(KineDAQHandle* daq, int** values, bool keep);
/* Every six-axis sample of the pass, oldest first; *packages as for
 * callReadAll, released with callDeletePackage6DArray. */
KINE_API int callReadAll6D(KineDAQHandle* daq, kine_package6d** packages, bool keep);
/* Waiting reads, the way to stream: callRead, callReadAll, callRead6D and
 * callReadAll6D with keep false, returning once at least one new sample is
 * there, or after timeout_ms with 0, or at once with KINE_NOT_OPEN when the
 * connection is closed (also by callClose on another thread) or its DAQ
 * goes away. timeout_ms 0 is the plain read; a negative one waits without
 * limit. The caller's thread sleeps meanwhile; signals do not shorten the
 * wait; several threads may wait on one handle. *packages as for
 * callReadAll. */
KINE_API int callWaitRead(KineDAQHandle* daq, kine_package* package, int sensor, int timeout_ms);
KINE_API int callWaitReadAll(KineDAQHandle* daq, kine_package** packages, int timeout_ms);
KINE_API int callWaitRead6D(KineDAQHandle* daq, kine_package6d* package, int timeout_ms);
KINE_API int callWaitReadAll6D(KineDAQHandle* daq, kine_package6d** packages, int timeout_ms);
/* Frees *packages (if not NULL); *packages is left as it is. */
KINE_API void callDeletePackageArray(kine_package** packages);
/* Frees *packages (if not NULL); *packages is left as it is. */
KINE_API void callDeletePackage6DArray(kine_package6d** packages);
/* Frees *values (if not NULL); *values is left as it is. */
KINE_API void callDeleteIntArray(int** values);

/* ---- Port discovery ---------------------------------------------------- */

/* A discovery monitor (KinePorts) is an opaque handle. Each port is handed
 * over as a triple of three strings, [0] port name, [1] device version text
 * (e.g. "34 v0.9"), [2] device serial (may be empty); [0] and [1] are what
 * callOpen takes. Every string and list these functions return is allocated
 * by the library and belongs to the caller, who frees it with
 * callDeleteKPORT or callDeletePORTLIST.
 *
 * List pattern:
 *     char** list = callListPorts(ports);
 *     int n = callGetLastSize(ports);
 *     for (i = 0; i < n; ++i) use(list[3*i], list[3*i+1], list[3*i+2]);
 *     callDeletePORTLIST(&list, n);
 * Event pattern (poll, e.g. every 100 ms):
 *     char* port[3];
 *     while (callIsNewPort(ports)) {
 *         callGetNewPort(ports, port);  use(port);  callDeleteKPORT(port);
 *     }
 *     likewise callIsLostPort / callGetLostPort.
 *
 * Threads: any function may be called from any thread; lists may be fetched
 * concurrently, also on different handles.
 *
 * A NULL handle lists nothing: an empty list, counts of 0, no new or lost
 * port, an empty triple. */
typedef struct KinePortsHandle KinePortsHandle;

/* Starts discovery of both DAQ kinds, probing at 1,000,000 baud; the caller
 * owns the handle (NULL if it cannot be created). */
KINE_API KinePortsHandle* callKinePorts_Create(void);
/* Stops discovery (waits for a probe under way) and frees the handle; NULL
 * does nothing. */
KINE_API void callKinePorts_Dispose(KinePortsHandle* ports);
/* The known DAQs in ascending port-name order: callGetLastSize() triples
 * (3 * n strings), at most 100, owned by the caller; NULL only when memory
 * is exhausted (callDeletePORTLIST accepts it). Right after
 * callKinePorts_Create it waits up to about 400 ms for the first scan. */
KINE_API char** callListPorts(KinePortsHandle* ports);
/* Number of known DAQs now. */
KINE_API int callGetSizePorts(KinePortsHandle* ports);
/* The n of the list the calling thread last received from callListPorts on
 * this handle: the triples that list holds, never more than 100 even when
 * more DAQs are known; 0 before this thread has listed on this handle.
 * Lists taken by other threads do not change it, so each thread may loop
 * over and free its own list. Pass it to callDeletePORTLIST. */
KINE_API int callGetLastSize(KinePortsHandle* ports);
/* True when an attached DAQ waits for callGetNewPort; also keeps the monitor
 * probing candidates. */
KINE_API bool callIsNewPort(KinePortsHandle* ports);
/* True when a lost DAQ waits for callGetLostPort. */
KINE_API bool callIsLostPort(KinePortsHandle* ports);
/* Writes the next attached (lost) DAQ's triple into port[0..2], three new
 * strings owned by the caller (all empty when none waited; all NULL when
 * memory is exhausted). What the slots held before is overwritten, not
 * freed; a NULL port leaves the waiting port for a later call. */
KINE_API void callGetNewPort(KinePortsHandle* ports, char** port);
KINE_API void callGetLostPort(KinePortsHandle* ports, char** port);
/* Frees the three strings of a triple (NULL slots are skipped); the slots
 * themselves are the caller's and are left as they are. */
KINE_API void callDeleteKPORT(char** port);
/* Frees a list from callListPorts: the strings of its n triples, then the
 * array. *list is left as it is. */
KINE_API void callDeletePORTLIST(char*** list, int n);
/* True once discovery has looked at every port present when the handle was
 * created (KinePorts::isSettled): a list taken then is complete. */
KINE_API bool callIsSettled(KinePortsHandle* ports);
/* Every serial port discovery sees and what it decided: fills up to
 * `capacity` records of `status` (kine_port_status.h) and returns the
 * number of ports, which may be larger; 0 for a NULL handle. */
KINE_API int callGetPortStatus(KinePortsHandle* ports, KinePortStatus* status, int capacity);

/* Calibration: a sensor's linear map from counts to SI units (N, N·m), read
 * from a calibration file (docs/calibration.md); the C form of
 * kine::Calibration. A KineCalibration is immutable once loaded and may be
 * used from several threads at once. */
typedef struct KineCalibration KineCalibration;

/* Loads and checks a calibration file. NULL on failure, with a one-line
 * explanation naming the file and the field copied into error (at most
 * error_size bytes, always terminated; error may be NULL). */
KINE_API KineCalibration* callCalibration_Load(const char* path, char* error, int error_size);
KINE_API void callCalibration_Dispose(KineCalibration* calibration);
/* Values per sample: 3 (Fx, Fy, Fz in N) or 6 (Fx, Fy, Fz in N, Tx, Ty, Tz
 * in N·m); 0 for NULL. */
KINE_API int callCalibration_Outputs(const KineCalibration* calibration);
/* 0: the inputs are a sensor's x, y, z; 1: its raw channels; 2: six axes.
 * -1 for NULL. */
KINE_API int callCalibration_Inputs(const KineCalibration* calibration);
/* Counts per sample the matrix reads: 3, 1 to 8 raw channels, or 6; 0 for NULL. */
KINE_API int callCalibration_InputCount(const KineCalibration* calibration);
/* The sensor's index on the DAQ; -1 for NULL. */
KINE_API int callCalibration_Sensor(const KineCalibration* calibration);
/* Texts owned by the calibration: "daq_serial", "sensor_serial", "date",
 * "unit0" ... "unit5". NULL for NULL or an unknown name. */
KINE_API const char* callCalibration_Text(const KineCalibration* calibration, const char* name);
/* Writes Outputs() values per sample to values (count * Outputs() doubles).
 * Returns the number of samples converted, or -1 when an argument is NULL or
 * negative or the samples are of the wrong kind (3-axis samples for a six-axis
 * calibration, or the reverse). */
KINE_API int callCalibration_Apply(const KineCalibration* calibration, const kine_package* samples, int count,
                                   double* values);
KINE_API int callCalibration_Apply6D(const KineCalibration* calibration, const kine_package6d* samples, int count,
                                     double* values);
/* The same from plain counts, Inputs-many per sample in input order (e.g.
 * the six integers per sample of callReadAll6Axis). */
KINE_API int callCalibration_ApplyCounts(const KineCalibration* calibration, const int32_t* counts, int count,
                                         double* values);

#ifdef __cplusplus
}
#endif

#endif /* KINE_C_H */
