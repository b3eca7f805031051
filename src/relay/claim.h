// SPDX-License-Identifier: ISC
// One quelmar per Ethernet side.
#pragma once

// Claims the Ethernet side named eth_name for this process; false, having said
// why, where another quelmar has it or the claim cannot be made. A name too
// long for an interface is left for the start-up to refuse.
bool claim_ethernet_side(const char* eth_name);

// Gives the claim up; a process that ends gives it up all the same.
void release_ethernet_side();
