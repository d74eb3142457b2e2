// SPDX-License-Identifier: MIT
/* What port discovery decided about each serial port it sees, for tools
 * that show why a DAQ is or is not found (`kine list --all`). Plain memory,
 * the same from C and C++ (KinePorts::getPortStatus, callGetPortStatus).
 * Accepted by a plain C99 compiler. */
#ifndef KINE_PORT_STATUS_H
#define KINE_PORT_STATUS_H

/* Values are stable; new ones are appended. */
typedef enum kine_port_state {
    KINE_PORT_PENDING = 0,       /* listed, not looked at yet */
    KINE_PORT_DAQ = 1,           /* a DAQ: device_version and device_serial say which */
    KINE_PORT_NOT_USB = 2,       /* no USB ids: not probed (see KINE_PROBE_PORTS) */
    KINE_PORT_OTHER_VENDOR = 3,  /* a USB vendor that makes no DAQ converter: not probed */
    KINE_PORT_EXCLUDED = 4,      /* excluded by KINE_EXCLUDE_PORTS or udev's KINE_IGNORE */
    KINE_PORT_BUSY = 5,          /* another program has it open: not touched until it lets go */
    KINE_PORT_NO_PERMISSION = 6, /* this user may not open it */
    KINE_PORT_NO_ANSWER = 7,     /* probed: nothing answered as a DAQ (retried while it may be slow) */
    KINE_PORT_OTHER_KIND = 8,    /* a DAQ of the kind this discovery leaves out (3- or 6-axis) */
    KINE_PORT_OPEN_FAILED = 9    /* could not be opened: not a terminal, or an I/O error */
} kine_port_state;

typedef struct KinePortStatus {
    char port[64]; /* device path, NUL-terminated (cut if longer) */
    int vendor_id; /* USB ids, -1 when not a USB device */
    int product_id;
    int state;               /* a kine_port_state */
    int holder_pid;          /* KINE_PORT_BUSY: the process holding it, 0 when unknown */
    char holder_command[32]; /* its command name, NUL-terminated, may be empty */
    char device_version[25]; /* KINE_PORT_DAQ: as in KPort, NUL-terminated */
    char device_serial[25];
} KinePortStatus;

#endif /* KINE_PORT_STATUS_H */
