#!/bin/sh
# SPDX-License-Identifier: MIT
# /init of the guest: mounts the kernel's file systems, loads the USB host
# controller and USB-serial modules, and runs the agent that executes the
# host's commands. ttyS0 is the console, ttyS1 the agent's line, ttyS2 the
# line that background commands (kine list --watch) write their events to.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
# devtmpfs creates /dev/ttyUSB* owned by root, mode 0600, as on a real system
# before udev has applied its rules.
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
chmod 1777 /tmp
while read -r module; do insmod "/modules/$module" || echo "insmod $module failed"; done < /modules/order
for line in /dev/ttyS1 /dev/ttyS2; do stty -F "$line" raw -echo -echoctl -opost 115200; done
echo "guest: up after $(cut -d' ' -f1 /proc/uptime) s"
exec /agent.sh < /dev/ttyS1 > /dev/ttyS1 2>/dev/console
