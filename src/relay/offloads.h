// SPDX-License-Identifier: ISC
// The offloads that merge frames, on the Ethernet side and on every device
// beneath it: off while relaying, put back at the orderly stop.
#pragma once

// A device the Ethernet side's frames come through: the Ethernet side itself
// (above -1), or one beneath the device at position above of the same list.
struct stacked_device {
    int ifindex;
    int above;
};

// The Ethernet side and as many devices beneath it as a device has.
constexpr int max_stacked = 32;

// Turns off what hands the Ethernet side's packet socket a buffer of many
// wire frames: receive aggregation on every device of the stack (count of
// them, the Ethernet side first), and on the Ethernet side itself the
// segmentation a device does instead of the stack. Says once which stay on,
// naming the device that keeps them, and why; relaying goes on either way.
void turn_off_offloads(const stacked_device* stack, int count);

// Puts back, by index, what turn_off_offloads asked of every device while
// relaying, beneath the Ethernet side by now or not; nothing for a device that
// is gone.
void restore_offloads();
