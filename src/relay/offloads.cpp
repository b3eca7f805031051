// SPDX-License-Identifier: ISC
// A packet socket sees the kernel's buffers, not the wire. On receive, GRO (in
// software, or in the NIC as hardware GRO) and LRO merge a TCP flow's segments
// into one buffer of up to 64 KB, where the frames enter the kernel: on the
// lowest device, beneath a bridge, a VLAN or a macvlan. On transmit, a device
// that segments itself is handed the host's own TCP before it is cut into
// frames, and the tap with it; there only the Ethernet side's own offloads
// count, for it is the device whose tap is ours. Cut to 2048 bytes, such a
// buffer is refused by the nas side, or passed with an IP length that lies:
// its data is lost. So those offloads are off while relaying, and put back as
// they were asked at the orderly stop. The segmentation the stack does itself
// ("tx-generic-segmentation") happens before any tap and stays on.
//
// Features are named, not numbered: their bit numbers differ between kernels,
// and the kernel gives their names as the string set ETH_SS_FEATURES, the same
// for every device.
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
#include "relay/relay_loop.h"

namespace {

// A kernel's features fit its 64-bit netdev_features_t: two blocks of 32.
constexpr uint32_t max_features = 64;
constexpr uint32_t max_blocks = max_features / 32;
// Devices asked to change: those beneath the Ethernet side now, and those that
// have left it since, until they are gone.
constexpr int max_asked = 2 * max_stacked;

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

// The kernel's feature names, read once, and those that merge frames: on
// receive (on any device of the stack) and also on transmit (on the Ethernet
// side itself), as masks of feature bits. m_blocks is 0 until they are read.
struct feature_names m_features;
uint32_t m_blocks = 0;
uint64_t m_receiving = 0;
uint64_t m_merging = 0;
bool m_unreadable_reported = false;

// What each device was asked: the offloads it had requested on and was asked
// to turn off, to be asked on again at the stop; and those reported as kept
// on, which are not reported again. ifindex 0: a free place.
struct asked_device {
    int ifindex;
    uint64_t asked;
    uint64_t reported;
};
asked_device m_asked[max_asked];

// A device's features, as masks.
struct features {
    uint64_t available;
    uint64_t requested;
    uint64_t active;
};

// Feature masks are 64 bits wide, but shifted by constants alone: a shift by
// a variable amount is a call into libgcc on a 32-bit CPU, and libgcc_s one
// more library to load.
uint64_t bit_of(uint32_t feature)
{
    uint64_t bit = uint32_t{1} << (feature % 32);
    return feature < 32 ? bit : bit << 32;
}

uint64_t joined(uint32_t low, uint32_t high)
{
    return uint64_t{high} << 32 | low;
}

bool ethtool(const char* name, void* request)
{
    struct ifreq interface;
    memset(&interface, 0, sizeof interface);
    memcpy(interface.ifr_name, name, IFNAMSIZ - 1);
    interface.ifr_data = static_cast<char*>(request);
    return ioctl(m_sockfd_eth, SIOCETHTOOL, &interface) != -1;
}

// The device's name now; false if it is gone.
bool name_of(int ifindex, char (&name)[IFNAMSIZ])
{
    struct ifreq interface;
    memset(&interface, 0, sizeof interface);
    interface.ifr_ifindex = ifindex;
    if (ioctl(m_sockfd_eth, SIOCGIFNAME, &interface) == -1) {
        return false;
    }
    memcpy(name, interface.ifr_name, sizeof name);
    name[sizeof name - 1] = '\0';
    return true;
}

// The features of the device ifindex, its name then in name; false if it is
// gone or they are unreadable.
bool read_state(int ifindex, char (&name)[IFNAMSIZ], features& state)
{
    struct feature_state request = {};
    request.cmd = ETHTOOL_GFEATURES;
    request.size = max_blocks;
    if (!name_of(ifindex, name) || !ethtool(name, &request) || request.size > max_blocks) {
        return false;
    }
    // Blocks the kernel did not fill stay zero.
    const struct ethtool_get_features_block(&blocks)[max_blocks] = request.blocks;
    state.available = joined(blocks[0].available, blocks[1].available);
    state.requested = joined(blocks[0].requested, blocks[1].requested);
    state.active = joined(blocks[0].active, blocks[1].active);
    return true;
}

// Asks the device name to turn the features in valid on or off, as requested says.
bool change_features(const char* name, uint64_t valid, uint64_t requested)
{
    struct feature_change change = {};
    change.cmd = ETHTOOL_SFEATURES;
    change.size = m_blocks;
    change.blocks[0] = {static_cast<uint32_t>(valid), static_cast<uint32_t>(requested)};
    change.blocks[1] = {static_cast<uint32_t>(valid >> 32), static_cast<uint32_t>(requested >> 32)};
    return ethtool(name, &change);
}

bool is_named(const char (&name)[ETH_GSTRING_LEN], const char* wanted)
{
    return strncmp(name, wanted, ETH_GSTRING_LEN) == 0;
}

// Every segmentation the device does instead of the stack: tx-...-segmentation
// but the stack's own.
bool segments(const char (&name)[ETH_GSTRING_LEN])
{
    constexpr char suffix[] = "-segmentation";
    constexpr size_t suffix_length = sizeof suffix - 1;
    size_t length = strnlen(name, sizeof name);
    return strncmp(name, "tx-", 3) == 0 && length > suffix_length &&
           memcmp(name + length - suffix_length, suffix, suffix_length) == 0 &&
           !is_named(name, "tx-generic-segmentation");
}

// The names of the kernel's features, through the device name; false, errno
// set, if unreadable.
bool read_features(const char* name)
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
    memset(&m_features, 0, sizeof m_features); // memcheck does not see the kernel write the names
    m_features.cmd = ETHTOOL_GSTRINGS;
    m_features.string_set = ETH_SS_FEATURES;
    m_features.length = count.count;
    if (!ethtool(name, &m_features)) {
        return false;
    }
    for (uint32_t feature = 0; feature < m_features.length; feature++) {
        const char(&feature_name)[ETH_GSTRING_LEN] = m_features.names[feature];
        uint64_t bit = bit_of(feature);
        if (is_named(feature_name, "rx-gro") || is_named(feature_name, "rx-lro") ||
            is_named(feature_name, "rx-gro-hw")) {
            m_receiving |= bit;
        } else if (is_named(feature_name, "tx-gso-list") || segments(feature_name)) {
            m_merging |= bit;
        }
    }
    m_merging |= m_receiving;
    m_blocks = (m_features.length + 31) / 32;
    return true;
}

// The place for ifindex, taken where it has none; null if every place is taken.
asked_device* asked_of(int ifindex)
{
    asked_device* free_place = nullptr;
    for (asked_device& device : m_asked) {
        if (device.ifindex == ifindex) {
            return &device;
        }
        if (device.ifindex == 0 && free_place == nullptr) {
            free_place = &device;
        }
    }
    if (free_place != nullptr) {
        *free_place = {ifindex, 0, 0};
    }
    return free_place;
}

// "NAME: cannot turn off FEATURE...: REASON", in one line and one write. The
// text has room for every feature's name: nothing is cut.
void report_left_on(const char* name, uint64_t left_on, int error)
{
    char text[IFNAMSIZ + max_features * (1 + ETH_GSTRING_LEN) + 160];
    int length = snprintf(text, sizeof text, "%s: cannot turn off", name);
    for (uint32_t feature = 0; feature < m_features.length; feature++) {
        if ((left_on & bit_of(feature)) != 0) {
            length += snprintf(text + length, sizeof text - static_cast<size_t>(length), " %.*s", ETH_GSTRING_LEN,
                               m_features.names[feature]);
        }
    }
    length += snprintf(text + length, sizeof text - static_cast<size_t>(length), ": %.128s\n", strerror(error));
    write_standard_error(text, static_cast<size_t>(length));
}

} // namespace

void turn_off_offloads(const stacked_device* stack, int count)
{
    char name[IFNAMSIZ];
    // A device that is gone has nothing to put back, and its place is free.
    for (asked_device& device : m_asked) {
        if (device.ifindex != 0 && !name_of(device.ifindex, name)) {
            device.ifindex = 0;
        }
    }
    if (count == 0 || !name_of(stack[0].ifindex, name)) {
        return;
    }
    if (m_blocks == 0 && !read_features(name)) {
        if (!m_unreadable_reported) {
            m_unreadable_reported = true;
            print_standard_error("%s: cannot read offloads: %s\n", name, strerror(errno));
        }
        return;
    }

    // Every device is asked first, then read again: a device stacked on
    // another (a macvlan, a VLAN) follows what the one beneath it has. Each
    // request waits for the kernel's lock of its devices (rtnl): a stop asked
    // meanwhile ends the round, with what was asked so far remembered.
    int refusal[max_stacked];
    uint64_t left_on[max_stacked] = {};
    features state;
    for (int at = 0; at < count && m_exit == 0; at++) {
        refusal[at] = EOPNOTSUPP; // a feature the driver fixes on, or keeps on when asked
        uint64_t off = 0;
        if (read_state(stack[at].ifindex, name, state)) {
            off = state.requested & state.available & (at == 0 ? m_merging : m_receiving);
        }
        // Not asked where there is no place to remember it.
        asked_device* asked = off != 0 ? asked_of(stack[at].ifindex) : nullptr;
        if (asked != nullptr && change_features(name, off, 0)) {
            asked->asked |= off; // kept by the kernel even where a device beneath overrules it
        } else if (asked != nullptr) {
            refusal[at] = errno;
        }
    }
    for (int at = 0; at < count && m_exit == 0; at++) {
        if (read_state(stack[at].ifindex, name, state)) {
            left_on[at] = state.active & (at == 0 ? m_merging : m_receiving);
        }
    }

    // Kept on where the device beneath keeps it on too, it is that device's
    // refusal, reported there. Each is reported once.
    for (int at = 0; at < count && m_exit == 0; at++) {
        uint64_t own = left_on[at];
        for (int beneath = at + 1; beneath < count; beneath++) {
            if (stack[beneath].above == at) {
                own &= ~left_on[beneath];
            }
        }
        asked_device* asked = own != 0 ? asked_of(stack[at].ifindex) : nullptr;
        if (asked != nullptr && (own & ~asked->reported) != 0 && name_of(stack[at].ifindex, name)) {
            report_left_on(name, own & ~asked->reported, refusal[at]);
            asked->reported |= own;
        }
    }
}

void restore_offloads()
{
    for (const asked_device& device : m_asked) {
        char name[IFNAMSIZ];
        // By index: the name may have changed since, or gone to another
        // interface. A device that is gone is left alone.
        if (device.ifindex != 0 && device.asked != 0 && name_of(device.ifindex, name) &&
            !change_features(name, device.asked, device.asked)) {
            print_standard_error("%s: cannot restore offloads: %s\n", name, strerror(errno));
        }
    }
}
