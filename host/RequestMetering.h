#pragma once
// Counts and times every request where the service hands it to the router:
// received, replied (by the reply's code), dropped as unreadable, and how
// its time splits between the trading server and the broker's confirmation
// of the reply.
#include <string>

#include "bus/RouteRequest.h"
#include "support/Metrics.h"

// RouteRequest with the request's figures added to `metrics`, labelled
// with `queue`. Exceptions pass to the caller as RouteRequest's do.
void routeMetered(const Routes& routes, const std::string& queue, std::string text, const std::string& correlationId,
                  Metrics& metrics);

// Whether a reply's text carries code 200.
bool isSuccessReply(const std::string& text);
