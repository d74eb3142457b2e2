// SPDX-License-Identifier: MIT
/* Result codes of libkine, named once for C and C++ callers.
 *
 * Read operations (KineDAQ::read..., callRead...) return the number of
 * samples decoded in the pass (0 or more) or one of the negative codes
 * below. Functions keep returning plain int; these names are what to compare
 * against.
 *
 * Open failures: KineDAQ::open and callOpen return false; the reason of the
 * latest failed open is then one of kine_open_error (KineDAQ::lastOpenError,
 * callGetLastOpenError), with a fixed text from callOpenErrorText.
 *
 * Accepted by a plain C99 compiler; also includable from C++. */
#ifndef KINE_RESULT_H
#define KINE_RESULT_H

/* Reader overflow: the application read too slowly and the reader dropped
 * old bytes (its buffer holds 100,000 bytes, about one second of data).
 * Recoverable: keep reading; samples are clean again after the next normal
 * read. Also returned by a three-axis read of a six-axis unit (versions 5
 * and 8): read those with the 6D reads. */
#define KINE_READ_OVERFLOW (-1)

/* Not open: the connection was never opened, was closed, or its DAQ went
 * away (fell silent for 550 ms, was unplugged, or the port failed). Close
 * and open again to go on. */
#define KINE_NOT_OPEN (-2)

/* No such sensor: the sensor index is not a sensor of this DAQ, or a
 * four-sensor operation was asked of a DAQ without four sensors. */
#define KINE_NO_SUCH_SENSOR (-3)

/* Reader stopped: the reader thread ended while the read ran. A DAQ that
 * goes away between reads makes the next read return KINE_NOT_OPEN; this
 * code is seen only when the stop races a 3-axis read (a 6-axis read in that
 * moment returns the samples it decoded). Close and open again. */
#define KINE_READER_STOPPED (-4)

/* Why the latest open failed. Values are stable; new ones are appended. */
typedef enum kine_open_error {
    KINE_OPEN_OK = 0,                /* the latest open succeeded, or none was tried */
    KINE_OPEN_NO_DEVICE = 1,         /* no such device (ENOENT, ENODEV, ENXIO) */
    KINE_OPEN_PERMISSION_DENIED = 2, /* the device node refused access (EACCES, EPERM) */
    KINE_OPEN_BUSY = 3,              /* another program or connection holds the DAQ */
    KINE_OPEN_NOT_SERIAL = 4,        /* the path is not a serial device */
    KINE_OPEN_NO_DATA = 5,           /* nothing arrived within the wait */
    KINE_OPEN_BAD_CHECKSUMS = 6,     /* only frames with bad checksums arrived */
    KINE_OPEN_VERSION_MISMATCH = 7,  /* the stream does not match the device version text */
    KINE_OPEN_NO_CONFIG_ANSWER = 8,  /* no answer to the configuration exchange */
    KINE_OPEN_CANCELLED = 9,         /* close() was called while open waited */
    KINE_OPEN_INVALID_ARGUMENT = 10, /* empty or overlong port name, or a null text */
    KINE_OPEN_ALREADY_OPEN = 11,     /* the connection was already open */
    KINE_OPEN_IO_ERROR = 12,         /* any other operating-system error */
    KINE_OPEN_NO_MEMORY = 13         /* memory ran out while opening */
} kine_open_error;

#endif /* KINE_RESULT_H */
