#pragma once
#include <string>
#include <vector>

#include "watch/watch_store.h"

namespace quobble {

// Desktop notifications through org.freedesktop.Notifications on the
// session bus. Silent (false) when there is no session bus or no
// notification service answers: a refresh from a timer has nobody to tell.
bool NotifyDesktop(const std::string& summary, const std::string& body);

// The summary and body of a check worth a notification (a drop, a target
// reached), or an empty summary when it is not.
std::pair<std::string, std::string> AlertNotice(const CheckOutcome& outcome);

// Sends one notification per alert of a refresh; how many were sent.
int NotifyAlerts(const std::vector<CheckOutcome>& outcomes);

}  // namespace quobble
