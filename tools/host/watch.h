// Watching a running line, in one include: the log of every scan (CSV), the
// module's failure traces, the live view that redraws one screen in place,
// and the trend plot of a log.
#ifndef TOOLS_HOST_WATCH_H
#define TOOLS_HOST_WATCH_H

#include "csv_log.h"
#include "live_view.h"
#include "plot.h"
#include "timestamp.h"
#include "trace.h"

#endif
