// SPDX-License-Identifier: ISC
// One frame per call: eth2nas relays it, nas2eth drops it.
#pragma once

void eth2nas();
void nas2eth();
