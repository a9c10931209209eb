// SPDX-License-Identifier: Apache-2.0
// milter_callbacks.h - the milter library's callbacks, bound to the bridge.
//
// The library calls plain functions without a user pointer, so the callbacks
// reach the bridge through one pointer set once by bindBridge before
// smfi_main starts and never changed afterwards; everything that changes per
// connection lives in that connection's MessageContext (its private data).
#pragma once

#include <libmilter/mfapi.h>

#include "milter/bridge_counters.h"
#include "milter/bridge_log.h"
#include "milter/bridge_options.h"
#include "milter/filter_process.h"

namespace tarnwick::milter {

// Bridge - what every callback needs: the options, the log, the filter and
// the counters (nullptr: none kept).
struct Bridge {
    const BridgeOptions& options;
    const BridgeLog& log;
    FilterProcess& filter;
    BridgeCounters* counters = nullptr;
};

// bindBridge - makes bridge the one the callbacks use. REQUIRES: called once,
// before smfi_main, with an object that outlives it.
void bindBridge(const Bridge& bridge);

// milterDescription - the filter description for smfi_register: the
// callbacks and the actions the bridge may take (add and change header
// fields, quarantine).
smfiDesc milterDescription();

}  // namespace tarnwick::milter
