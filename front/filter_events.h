// SPDX-License-Identifier: Apache-2.0
// filter_events.h - what a filter tells about its work as it goes, for the
// counters an administrator's monitoring reads.
//
// The front end reports requests accepted and answered; the filter behind it
// reports verdicts, what showed a virus, why a message was postponed, what
// the anti-virus check saw, and what was unpacked. Every function may be
// called from several workers at once and must return quickly; the default
// does nothing, so a filter without counters pays nothing.
#pragma once

#include <cstdint>

namespace tarnwick {

class FilterEvents {
  public:
    // Verdict - the answer about one message.
    enum class Verdict { Virus, Clean, Postponed, NotScanned };
    // Shown - which file showed the virus: the copy of the message (or the
    // message file itself), a file of the first reading, or one of the second.
    enum class Shown { Copy, FirstReading, SecondReading };
    // Sign - what showed it.
    enum class Sign { Removed, Changed, Locked, CouldNotWrite, Limit };
    // Postponement - why a message was postponed.
    enum class Postponement { NoSpace, AntivirusNotWatching, ReadingBusy };
    // AvState - what the last anti-virus check saw.
    enum class AvState { NotChecked, Watching, NotWatching };

    virtual ~FilterEvents() = default;

    // requestStarted - a FILE request was accepted and is being worked on.
    virtual void requestStarted() {}
    // requestAnswered - its answer was written, seconds after it was accepted.
    virtual void requestAnswered(double /*seconds*/) {}
    // messageJudged - the verdict on one message.
    virtual void messageJudged(Verdict /*verdict*/) {}
    // virusShown - for a virus verdict, the first sign that gave it.
    virtual void virusShown(Shown /*shown*/, Sign /*sign*/) {}
    // postponed - why a message is tried again later.
    virtual void postponed(Postponement /*cause*/) {}
    // antivirusChecked - a check ended; reactionSeconds is the time the
    // anti-virus took to react, when it did.
    virtual void antivirusChecked(AvState /*state*/, double /*reactionSeconds*/) {}
    // unpacked - files written for the anti-virus by one reading of a message.
    virtual void unpacked(Shown /*reading*/, std::uint64_t /*files*/, std::uint64_t /*bytes*/) {}
};

}  // namespace tarnwick
