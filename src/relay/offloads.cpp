// SPDX-License-Identifier: ISC
// A packet socket sees the kernel's buffers, not the wire. On receive, GRO (in
// software, or in the NIC as hardware GRO) and LRO merge a TCP flow's segments
// into one buffer of up to 64 KB; on transmit, a device that segments itself
// is handed the host's own TCP before it is cut into frames, and the tap with
// it. Cut to 2048 bytes, such a buffer is refused by the nas side, or passed
// with an IP length that lies: its data is lost. So those offloads are off
// while relaying, and back as they were at the orderly stop. The segmentation
// the stack does itself ("tx-generic-segmentation") happens before any tap and
// stays on.
//
// Features are named, not numbered: their bit numbers differ between kernels,
// and the kernel gives their names as the string set ETH_SS_FEATURES.
#include "relay/offloads.h"

#include <errno.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include "platform/standard_error.h"
#include "relay/endpoints.h"

namespace {

// A kernel's features fit its 64-bit netdev_features_t: two blocks of 32.
constexpr uint32_t max_features = 64;
constexpr uint32_t max_blocks = max_features / 32;

// The ethtool requests, each with room for every feature (the kernel's own
// structures end in arrays without a size).
struct feature_count {
    uint32_t cmd;
    uint32_t reserved;
    uint64_t sets;
    uint32_t count;
};
struct feature_names {
    uint32_t cmd;
    uint32_t string_set;
    uint32_t length;
    char names[max_features][ETH_GSTRING_LEN];
};
struct feature_state {
    uint32_t cmd;
    uint32_t size;
    struct ethtool_get_features_block blocks[max_blocks];
};
struct feature_change {
    uint32_t cmd;
    uint32_t size;
    struct ethtool_set_features_block blocks[max_blocks];
};

// What turn_off_offloads changed, for restore_offloads: the features it turned
// off, what was asked of each before, and how many blocks the kernel expects.
uint32_t m_offloads_changed[max_blocks];
uint32_t m_offloads_requested[max_blocks];
uint32_t m_offloads_size = 0;

bool ethtool(const char* name, void* request)
{
    struct ifreq interface;
    memset(&interface, 0, sizeof interface);
    // The name passed the up-check, or came from the kernel: it fits.
    memcpy(interface.ifr_name, name, strnlen(name, sizeof interface.ifr_name - 1));
    interface.ifr_data = static_cast<char*>(request);
    return ioctl(m_sockfd_eth, SIOCETHTOOL, &interface) != -1;
}

bool read_state(const char* name, struct feature_state& state)
{
    memset(&state, 0, sizeof state);
    state.cmd = ETHTOOL_GFEATURES;
    state.size = max_blocks;
    return ethtool(name, &state) && state.size <= max_blocks;
}

// Receive aggregation, and every segmentation the device does instead of the stack.
bool merges_frames(const char (&name)[ETH_GSTRING_LEN])
{
    constexpr const char* merging_names[] = {"rx-gro", "rx-lro", "rx-gro-hw", "tx-gso-list"};
    constexpr char segmentation[] = "-segmentation";
    constexpr size_t suffix = sizeof segmentation - 1;
    for (const char* merging : merging_names) {
        if (strncmp(name, merging, sizeof name) == 0) {
            return true;
        }
    }
    size_t length = strnlen(name, sizeof name);
    return strncmp(name, "tx-", 3) == 0 && length > suffix && memcmp(name + length - suffix, segmentation, suffix) == 0 &&
           strncmp(name, "tx-generic-segmentation", sizeof name) != 0;
}

bool has(const uint32_t* blocks, uint32_t feature)
{
    return (blocks[feature / 32] >> (feature % 32) & 1) != 0;
}

// "NAME: cannot turn off FEATURE...: REASON", in one line and one write. The
// text has room for every feature's name: nothing is cut.
void report_left_on(const char* name, const struct feature_names& features, const uint32_t* left_on, int error)
{
    char text[IFNAMSIZ + max_features * (1 + ETH_GSTRING_LEN) + 160];
    int length = snprintf(text, sizeof text, "%s: cannot turn off", name);
    for (uint32_t feature = 0; feature < features.length; feature++) {
        if (has(left_on, feature)) {
            length += snprintf(text + length, sizeof text - static_cast<size_t>(length), " %.*s", ETH_GSTRING_LEN,
                               features.names[feature]);
        }
    }
    length += snprintf(text + length, sizeof text - static_cast<size_t>(length), ": %.128s\n", strerror(error));
    write_standard_error(text, static_cast<size_t>(length));
}

// The names of the kernel's features, and their state; false, errno set, if unreadable.
bool read_features(const char* name, struct feature_names& features, struct feature_state& state)
{
    struct feature_count count = {};
    count.cmd = ETHTOOL_GSSET_INFO;
    count.sets = uint64_t{1} << ETH_SS_FEATURES;
    if (!ethtool(name, &count)) {
        return false;
    }
    // The kernel writes as many names as it has, whatever the buffer says.
    if (count.sets == 0 || count.count > max_features) {
        errno = EOVERFLOW;
        return false;
    }
    features.cmd = ETHTOOL_GSTRINGS;
    features.string_set = ETH_SS_FEATURES;
    features.length = count.count;
    return ethtool(name, &features) && read_state(name, state);
}

} // namespace

void turn_off_offloads(const char* eth_name)
{
    struct feature_names features = {}; // memcheck does not see the kernel write the names
    struct feature_state before;
    if (!read_features(eth_name, features, before)) {
        print_standard_error("%s: cannot read offloads: %s\n", eth_name, strerror(errno));
        return;
    }

    struct feature_change change = {};
    change.cmd = ETHTOOL_SFEATURES;
    change.size = before.size;
    uint32_t merging[max_blocks] = {};
    bool any = false;
    bool changeable = false;
    for (uint32_t feature = 0; feature < features.length && feature / 32 < before.size; feature++) {
        uint32_t bit = uint32_t{1} << (feature % 32);
        const struct ethtool_get_features_block& block = before.blocks[feature / 32];
        if ((block.active & bit) != 0 && merges_frames(features.names[feature])) {
            merging[feature / 32] |= bit;
            change.blocks[feature / 32].valid |= block.available & bit;
            any = true;
            changeable = changeable || (block.available & bit) != 0;
        }
    }
    if (!any) {
        return;
    }
    // A feature the driver fixes on cannot change, and one it refuses stays on without an error.
    int refusal = EOPNOTSUPP;
    bool changed = changeable && ethtool(eth_name, &change);
    if (changeable && !changed) {
        refusal = errno;
    }
    struct feature_state after;
    if (!read_state(eth_name, after)) {
        // Not known: taken as asked, so that the stop puts back all of it.
        after = before;
        for (uint32_t block = 0; changed && block < before.size; block++) {
            after.blocks[block].active &= ~change.blocks[block].valid;
        }
    }
    uint32_t left_on[max_blocks] = {};
    bool left = false;
    for (uint32_t block = 0; block < before.size; block++) {
        left_on[block] = merging[block] & after.blocks[block].active;
        left = left || left_on[block] != 0;
        m_offloads_changed[block] = merging[block] & ~after.blocks[block].active;
        m_offloads_requested[block] = before.blocks[block].requested;
    }
    m_offloads_size = before.size;
    if (left) {
        report_left_on(eth_name, features, left_on, refusal);
    }
}

void restore_offloads()
{
    struct feature_change change = {};
    change.cmd = ETHTOOL_SFEATURES;
    change.size = m_offloads_size;
    bool any = false;
    for (uint32_t block = 0; block < m_offloads_size; block++) {
        change.blocks[block].valid = m_offloads_changed[block];
        change.blocks[block].requested = m_offloads_requested[block] & m_offloads_changed[block];
        any = any || m_offloads_changed[block] != 0;
    }
    if (!any) {
        return;
    }
    // By index: the name may have changed since, or gone to another interface.
    struct ifreq interface;
    memset(&interface, 0, sizeof interface);
    interface.ifr_ifindex = m_sockaddr_eth.sll_ifindex;
    if (ioctl(m_sockfd_eth, SIOCGIFNAME, &interface) == -1) {
        return; // the interface is gone, and its offloads with it
    }
    char name[IFNAMSIZ];
    memcpy(name, interface.ifr_name, sizeof name);
    name[sizeof name - 1] = '\0';
    if (!ethtool(name, &change)) {
        print_standard_error("%s: cannot restore offloads: %s\n", name, strerror(errno));
    }
}
