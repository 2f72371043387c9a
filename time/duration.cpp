#include "time/duration.h"

namespace {

struct Unit {
    uint64_t below; // magnitudes under this use the unit
    uint64_t divisor;
    uint64_t unitsWeight; // weight of the units digit in the working value
    char letter;
};

// Tenths of a second under two minutes, then hundredths of minutes, hours and days.
constexpr Unit UNITS[] = {
    {120000, 10, 10, 's'},
    {7200000, 60, 100, 'm'},
    {172800000, 3600, 100, 'h'},
    {UINT64_MAX, 86400, 100, 'd'},
};

} // namespace

// The magnitude is taken as an unsigned number, so the most negative value has one too
// (2^63 ms) and formats like its positive neighbour.
void FormatDuration(int64_t value, char* out) {
    char sign = value < 0 ? '-' : '+';
    uint64_t m = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    const Unit* unit = &UNITS[0];
    while (m >= unit->below) {
        unit++;
    }
    // Rounding happens on the already truncated quotient: 149 ms is 14 hundredths, so 0.1s.
    uint64_t q = m / unit->divisor;
    uint64_t x = (q + 5) / 10;
    if (x == 0) {
        sign = ' ';
    }
    char* p = out;
    *p++ = sign;
    uint64_t w = 10 * unit->unitsWeight;
    while (w <= x) {
        w *= 10;
    }
    while (w > 1) {
        w /= 10;
        uint64_t digit = x / w;
        x -= digit * w;
        *p++ = static_cast<char>('0' + digit);
        if (w == unit->unitsWeight) {
            *p++ = '.';
        }
    }
    *p++ = unit->letter;
    *p = 0;
}

// Forgiving by design: unknown characters are skipped, every '-' flips the sign, and a unit
// letter scales everything read so far. Arithmetic wraps (unsigned) instead of overflowing.
int64_t ParseDuration(const char* text) {
    uint64_t value = 0;
    int64_t sign = 1;
    int64_t scale = 1000;
    bool decimal = false;
    for (const char* c = text; *c != 0; c++) {
        switch (*c) {
        case '.':
            decimal = true;
            break;
        case '-':
            sign = -sign;
            break;
        case 'd':
        case 'D':
            value *= 86400;
            break;
        case 'h':
        case 'H':
            value *= 3600;
            break;
        case 'm':
        case 'M':
            value *= 60;
            break;
        default:
            if (*c >= '0' && *c <= '9' && scale > 1) {
                value = value * 10 + static_cast<uint64_t>(*c - '0');
                if (decimal) {
                    scale /= 10;
                }
            }
            break;
        }
    }
    return static_cast<int64_t>(value * static_cast<uint64_t>(sign * scale));
}
