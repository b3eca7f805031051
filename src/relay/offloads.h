// SPDX-License-Identifier: ISC
// The Ethernet side's offloads that merge frames: off while relaying, put back
// at the orderly stop.
#pragma once

// Turns off, on the bound Ethernet side, every offload that hands its packet
// socket a buffer of many wire frames. Where that cannot be done it says which
// stay on and why; relaying goes on either way, those buffers cut to 2048 bytes.
void turn_off_offloads(const char* eth_name);

// Puts back what turn_off_offloads changed, on the interface it changed them on,
// whatever its name is by now; nothing if that interface is gone.
void restore_offloads();
