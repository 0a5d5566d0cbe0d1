// Date and time texts of run results and task logs as seconds on one axis.
// The texts carry no time zone; they are counted as if they were UTC, which
// keeps every time of a run comparable with every other.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavix {

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
constexpr int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned year_of_era = unsigned(year - era * 400);
    const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + int64_t(day_of_era) - 719468;
}

// "yyyy-mm-dd hh:mm:ss" or "yyyy-mm-ddThh:mm:ss", then anything (a fraction
// of a second is read too): seconds since 1970-01-01 00:00:00. False when
// the text does not start with such a time.
inline bool parse_date_time(std::string_view text, double &seconds) {
    auto number = [&](size_t at, size_t digits, unsigned &value) {
        if (at + digits > text.size())
            return false;
        value = 0;
        for (size_t i = at; i < at + digits; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            value = value * 10 + unsigned(text[i] - '0');
        }
        return true;
    };
    unsigned year, month, day, hour, minute, second;
    if (!number(0, 4, year) || text[4] != '-' || !number(5, 2, month) || text[7] != '-' ||
        !number(8, 2, day) || (text[10] != 'T' && text[10] != ' ') || !number(11, 2, hour) ||
        text[13] != ':' || !number(14, 2, minute) || text[16] != ':' || !number(17, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return false;
    seconds = double(days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
    if (text.size() > 20 && text[19] == '.') {
        double scale = 0.1;
        for (size_t i = 20; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10)
            seconds += (text[i] - '0') * scale;
    }
    return true;
}

}  // namespace tavix
