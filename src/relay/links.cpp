// SPDX-License-Identifier: ISC
// The kernel's network devices, over rtnetlink.
//
// Frames are merged where they enter the kernel: a packet socket on a bridge,
// a VLAN or a macvlan receives what the device beneath took in, merged by that
// device's GRO. So the offloads that count are those of every device the
// Ethernet side's frames come through, found by following the kernel's links
// down to the bottom: a bridge's or a bond's ports name it as their master
// (IFLA_MASTER); a VLAN, a macvlan or a switch port names its real device, the
// conduit, as its link (IFLA_LINK). Devices come and go while relaying: a
// radio joins the bridge on every wireless reload, a network daemon makes a
// bridge or a VLAN again, a vendor's software its tun. The watch, a socket in
// the relay loop's wait, hears of every change; no timer, no polling.
#include "relay/links.h"

#include <errno.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/standard_error.h"
#include "relay/endpoints.h"
#include "relay/offloads.h"
#include "relay/relay_loop.h"

int m_link_fd = -1;

namespace {

// The kernel fills a dump's datagrams up to the reader's buffer; one device
// takes 1 to 2 KB (more only with virtual functions listed, which are not
// asked for). A datagram cut to fit is a dump not read whole.
constexpr size_t dump_room = 16384;
// At most this many of the watch's datagrams are read in one round: a storm of
// changes still leaves the frames their turn.
constexpr int events_per_round = 16;

// Whether the interface a side was bound to was deleted, and not yet made again.
bool m_eth_gone = false;
bool m_nas_gone = false;
// Whether a stack too deep for the list was reported yet: once is enough.
bool m_full_reported = false;

// What a dump tells of one device.
struct link_info {
    int ifindex;
    int master; // 0: none
    int lower;  // the device it sends and receives through (IFLA_LINK); 0: none
};

uint16_t read_u16(const unsigned char* at)
{
    uint16_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

// IFLA_INFO_KIND, inside IFLA_LINKINFO: "veth" names a device whose link is its
// peer, beside it and not beneath.
bool is_pair(const unsigned char* info, size_t length)
{
    for (size_t at = 0; at + 4 <= length;) {
        size_t size = read_u16(info + at);
        if (size < 4 || size > length - at) {
            break;
        }
        if ((read_u16(info + at + 2) & NLA_TYPE_MASK) == IFLA_INFO_KIND) {
            constexpr char veth[] = "veth";
            return size - 4 >= sizeof veth && memcmp(info + at + 4, veth, sizeof veth) == 0;
        }
        at += NLMSG_ALIGN(size);
    }
    return false;
}

// The master and the device beneath, from an RTM_NEWLINK message's attributes.
// A link into another network namespace (IFLA_LINK_NETNSID) is out of reach:
// its index means another device here.
link_info describe(const unsigned char* message, size_t length)
{
    struct ifinfomsg header;
    memcpy(&header, message, sizeof header);
    link_info info = {header.ifi_index, 0, 0};
    bool elsewhere = false;
    bool pair = false;
    for (size_t at = NLMSG_ALIGN(sizeof header); at + 4 <= length;) {
        size_t size = read_u16(message + at);
        if (size < 4 || size > length - at) {
            break;
        }
        uint16_t type = read_u16(message + at + 2) & NLA_TYPE_MASK;
        uint32_t value = 0;
        if (size >= 8) {
            memcpy(&value, message + at + 4, sizeof value);
        }
        if (type == IFLA_MASTER) {
            info.master = static_cast<int>(value);
        } else if (type == IFLA_LINK) {
            info.lower = static_cast<int>(value);
        } else if (type == IFLA_LINK_NETNSID) {
            elsewhere = true;
        } else if (type == IFLA_LINKINFO) {
            pair = is_pair(message + at + 4, size - 4);
        }
        at += NLMSG_ALIGN(size);
    }
    if (elsewhere || pair || info.lower == info.ifindex) {
        info.lower = 0;
    }
    return info;
}

// Calls each(link_info) for every device the kernel has; false, errno set,
// where the list could not be read whole.
template <typename Each> bool dump_links(Each each)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd == -1) {
        return false;
    }
    struct {
        struct nlmsghdr header;
        struct ifinfomsg link;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.link.ifi_family = AF_UNSPEC;
    bool whole = send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
    bool done = !whole;
    alignas(4) unsigned char buffer[dump_room];
    while (!done) {
        ssize_t received = recv(fd, buffer, sizeof buffer, MSG_TRUNC);
        if (received <= 0 || static_cast<size_t>(received) > sizeof buffer) {
            errno = received == -1 ? errno : EMSGSIZE;
            whole = false;
            break;
        }
        size_t length = static_cast<size_t>(received);
        for (size_t at = 0; at + sizeof(struct nlmsghdr) <= length;) {
            struct nlmsghdr header;
            memcpy(&header, buffer + at, sizeof header);
            if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - at) {
                break;
            }
            const unsigned char* body = buffer + at + NLMSG_HDRLEN;
            size_t body_length = header.nlmsg_len - NLMSG_HDRLEN;
            if (header.nlmsg_type == NLMSG_DONE) {
                done = true;
            } else if (header.nlmsg_type == NLMSG_ERROR) {
                struct nlmsgerr error = {};
                memcpy(&error, body, body_length < sizeof error ? body_length : sizeof error);
                errno = -error.error;
                done = true;
                whole = false;
            } else if (header.nlmsg_type == RTM_NEWLINK && body_length >= sizeof(struct ifinfomsg)) {
                each(describe(body, body_length));
            }
            at += NLMSG_ALIGN(header.nlmsg_len);
        }
    }
    close(fd);
    return whole;
}

bool stacked(const stacked_device* stack, int count, int ifindex, int& at)
{
    for (at = 0; at < count; at++) {
        if (stack[at].ifindex == ifindex) {
            return true;
        }
    }
    return false;
}

// The Ethernet side (top) and every device beneath it, each after the one it
// lies beneath. A dump lists devices by index, not by depth: it is read again
// until nothing more is found. False, having said why, where it cannot be read.
bool find_stack(int top, stacked_device (&stack)[max_stacked], int& count)
{
    stack[0] = {top, -1};
    count = 1;
    bool grew = true;
    bool full = false;
    auto add = [&](int ifindex, int above) {
        int at = 0;
        if (ifindex == 0 || stacked(stack, count, ifindex, at)) {
            return;
        }
        if (count == max_stacked) {
            full = true;
            return;
        }
        stack[count++] = {ifindex, above};
        grew = true;
    };
    // Each dump waits for the kernel's lock of its device list (rtnl), which others may hold long: a
    // stop asked meanwhile ends the search, and the stop finds what was asked so far.
    while (grew && m_exit == 0) {
        grew = false;
        bool whole = dump_links([&](const link_info& link) {
            int at = 0;
            if (stacked(stack, count, link.ifindex, at)) {
                add(link.lower, at); // the real device of one in the stack
            } else if (link.master != 0 && stacked(stack, count, link.master, at)) {
                add(link.ifindex, at); // a port of one
            }
        });
        if (!whole) {
            report_errno("netlink");
            return false;
        }
    }
    if (full && !m_full_reported) {
        m_full_reported = true;
        print_standard_error("netlink: more than %d devices beneath the Ethernet side; the rest keep their offloads\n",
                             max_stacked - 1);
    }
    return true;
}

// A side whose interface was deleted is bound again once an interface of its
// name is there and up (bound while down, a packet socket reports the network
// down at once), whatever its kind; its socket is kept, so the relay loop's
// wait is unchanged. While it is gone, nothing is relayed that way.
void follow_side(int fd, const char* name, struct sockaddr_ll& address, bool& gone, const char* failure_prefix)
{
    struct ifreq request;
    memset(&request, 0, sizeof request);
    request.ifr_ifindex = address.sll_ifindex;
    if (!gone && ioctl(fd, SIOCGIFNAME, &request) == 0) {
        return;
    }
    if (!gone) {
        gone = true;
        print_standard_error("%s: interface deleted; waiting for it to come back\n", name);
    }
    memset(&request, 0, sizeof request);
    memcpy(request.ifr_name, name, strnlen(name, sizeof request.ifr_name - 1)); // fits: checked at start
    if (ioctl(fd, SIOCGIFFLAGS, &request) == -1 || (request.ifr_flags & IFF_UP) == 0) {
        return; // not there, or not up yet: either is a change the watch hears of
    }
    int ifindex = interface_index(fd, name);
    if (ifindex > 0 && bind_to_index(fd, ifindex, address, failure_prefix)) {
        gone = false;
        print_standard_error("%s: interface back; relaying again\n", name);
    }
}

} // namespace

bool open_link_watch(int& highest_fd)
{
    m_link_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    struct sockaddr_nl address = {};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK;
    if (m_link_fd == -1 ||
        bind(m_link_fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) == -1) {
        report_errno("netlink");
        return false;
    }
    return join_wait_set(m_link_fd, "netlink", highest_fd);
}

void close_link_watch()
{
    if (m_link_fd >= 0) {
        close(m_link_fd);
        m_link_fd = -1;
    }
}

void follow_links(const char* eth_name, const char* nas_name)
{
    // What changed is not read: the devices are looked at afresh. An overrun
    // (ENOBUFS: changes came faster than they were read) is one more reason to.
    char event;
    for (int events = 0; events < events_per_round; events++) {
        if (recv(m_link_fd, &event, sizeof event, MSG_TRUNC | MSG_DONTWAIT) == -1 &&
            (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
    }
    follow_side(m_sockfd_eth, eth_name, m_sockaddr_eth, m_eth_gone, "bind eth");
    follow_side(m_sockfd_nas, nas_name, m_sockaddr_nas, m_nas_gone, "bind nas");

    stacked_device stack[max_stacked];
    int count = 0;
    if (!m_eth_gone && (!find_stack(m_sockaddr_eth.sll_ifindex, stack, count) || m_exit != 0)) {
        return;
    }
    turn_off_offloads(stack, count);
}
