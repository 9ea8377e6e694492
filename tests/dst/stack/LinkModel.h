// A reference model of what the link promises, checked against a run's
// record (StackOracle.h): from what the device did (its writes, the frames
// and errors the host took, in order and with virtual times) and the link
// API calls the client made, it tells whether each outcome is one that may
// happen. It knows the link's rules, not its code:
//
// - A query that returns 0 had a version answer delivered during its call,
//   with nothing before it (after the query's write) that fails the request
//   for certain: a read error, a frame that takes the request without
//   settling it, a failed resend, the final timeout. Its record holds the
//   answer's bytes.
// - A query whose answer was delivered after its write, with nothing before
//   it that could have failed the request, returns 0. Only the timer (the
//   final timeout, a failed resend) may still overtake a delivered answer:
//   at the same instant when time passes only with every thread waiting,
//   at any later point when the clock may overtake a slow thread.
// - Reports and resends, when time passes only with every thread waiting:
//   a report 6 exactly 5000 ms after the request's latest arming (its
//   write, its resend or a frame that re-arms it), a resend with its first
//   6, a 3 with its second, never more than two 6 and one resend per
//   request, and no request left pending past its timeout without a 6.
//   With the clock free, only the counts and lower bounds hold.
// - A connect that fails reports 2 once; one that succeeds reports nothing.
#pragma once

#include <string>
#include <vector>

#include "NfcMeSimulator.h"
#include "StackOracle.h"

namespace stack {

// Empty when the record is one the link may produce; otherwise what broke.
// `exactTimes`: time passed only when every thread was waiting.
std::string CheckLinkModel(const std::vector<Step>& record, const SimScenario& scenario, bool exactTimes);

// The record, a step a line, for a failure's message.
std::string DescribeRecord(const std::vector<Step>& record);

}  // namespace stack
