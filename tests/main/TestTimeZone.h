#pragma once
// Every test runs in a time zone that is not UTC: server times are UTC, and one read as local
// time would pass unnoticed in UTC. Three hours west, with summer time from October to February
// (Sao Paulo's rule until 2019), so that both offsets come up; written as a rule rather than a
// zone name, so that it holds without the zone database and whatever TZ the caller has.
// The programs the tests start (ftpdrive, the servers) inherit it.
#include <QtGlobal>

#include <ctime>

namespace testmain {

inline void UseTestTimeZone()
{
    qputenv("TZ", "<-03>3<-02>,M10.3.0/0,M2.3.0/0");
    ::tzset();
}

} // namespace testmain
