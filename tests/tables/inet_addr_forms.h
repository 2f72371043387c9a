// Texts and what the platform's inet_addr makes of them, shared by the simulation's test and
// the Win32 net suite, which holds the real inet_addr to the same table.
//
// The forms are a.b.c.d, a.b.c (c fills the last 16 bits), a.b (b fills the last 24 bits)
// and a (all 32 bits); each part is decimal, octal after a leading 0, or hexadecimal after 0x
// or 0X, and may not be wider than its place. The address ends at the end of the text or at
// a blank, tab or line break, and whatever follows that is ignored. The all-ones address is
// INADDR_NONE like any text that is no address.
#pragma once
#include <cstdint>
#include <cstring>

struct InetAddrForm {
    const char* text;
    uint8_t octets[4]; // in the written order
};

constexpr InetAddrForm INET_ADDR_FORMS[] = {
    {"127.0.0.2", {127, 0, 0, 2}},
    {"10.200.3.255", {10, 200, 3, 255}},
    {"0.0.0.0", {0, 0, 0, 0}},
    {"0", {0, 0, 0, 0}},
    {"127.1", {127, 0, 0, 1}},
    {"1.2.3", {1, 2, 0, 3}},
    {"1.2.772", {1, 2, 3, 4}},
    {"1.2.0xffff", {1, 2, 255, 255}},
    {"1.16777215", {1, 255, 255, 255}},
    {"2130706433", {127, 0, 0, 1}},
    {"01234567012", {10, 114, 238, 10}},
    {"010.0.0.1", {8, 0, 0, 1}},
    {"0377.0377.0377.0376", {255, 255, 255, 254}},
    {"0x7f.1", {127, 0, 0, 1}},
    {"0X7F.0.0.0x1", {127, 0, 0, 1}},
    {"1.2.3.4 ", {1, 2, 3, 4}},
    {"1.2.3.4\tx", {1, 2, 3, 4}},
    {"1 2 3 4", {0, 0, 0, 1}},
};

constexpr const char* INET_ADDR_NOT_ADDRESSES[] = {
    // Texts that inet_addr turns away with INADDR_NONE, the all-ones address among them.
    "255.255.255.255", "0xffffffff",  "4294967296",   "256.1.1.1", "0400.1.1.1", "1.2.3.256",
    "1.2.65536",       "1.0x1000000", "0xFFFFFF.1",   "08.0.0.1",  "0x",         "0x1g",
    "1e1.1.1.1",       "1.2.3.4.5",   "1.2.3.4.",     "1..3.4",    ".1.2.3",     " 1.2.3.4",
    "+1.2.3.4",        "1.2.3.4x",    "127.0.0.1:37", "x.test",    "",
};

// The address as inet_addr returns it: network byte order, the first octet lowest in memory.
inline uint32_t InetAddrFormValue(const InetAddrForm& form) {
    uint32_t address;
    memcpy(&address, form.octets, sizeof address);
    return address;
}
