// UTC time stamps to the millisecond, written and read back.
#include "timestamp.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace vhost {

std::string isoTimestamp()
{
    using namespace std::chrono;
    system_clock::time_point now = system_clock::now();
    long long ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm *t = std::gmtime(&secs);
    char buf[96];
    if (!t)
        return "1970-01-01T00:00:00.000Z";
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->tm_year + 1900, t->tm_mon + 1, t->tm_mday,
             t->tm_hour, t->tm_min, t->tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

double secondsOf(const std::string &stamp)
{
    int y, mo, d, h, mi;
    double s;
    if (sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%lf", &y, &mo, &d, &h, &mi, &s) != 6)
        return NAN;
    // Days from the civil date (proleptic Gregorian).
    y -= mo <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    double days = static_cast<double>(era * 146097 + doe - 719468);
    return days * 86400.0 + h * 3600.0 + mi * 60.0 + s;
}

} // namespace vhost
