// SPDX-License-Identifier: ISC
// The kernel's network devices as rtnetlink tells of them: what lies beneath
// the Ethernet side, and a watch that hears of every change.
#pragma once

// The watch's socket, in the relay loop's wait: readable once a device was
// made, deleted or changed. -1 while it is not open.
extern int m_link_fd;

// Opens the watch; false, having said why, where it cannot be opened or
// waited on. highest_fd grows to cover it.
bool open_link_watch(int& highest_fd);

void close_link_watch();

// Follows the devices after a change: binds a side again once an interface of
// its name is back after its own was deleted, and turns off the offloads that
// merge frames on the Ethernet side and on every device beneath it. Run once
// at start-up, then whenever the watch is readable; reads what it has queued.
void follow_links(const char* eth_name, const char* nas_name);
